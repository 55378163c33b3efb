# Robot controller tests, against the simulated robot through its trace.
foreach(t robot_status_report_test robot_controller_test robot_commands_test robot_posture_test robot_demo_test)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${t}.cpp)
    velantis_test(${t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}.cpp
      LIBS agent_robot robot_trace mc_client spdlog::spdlog fmt::fmt
      LABELS threaded TIMEOUT 120)
    velantis_logger(${t} AGENT)
    target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  endif()
endforeach()
