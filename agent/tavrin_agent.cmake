# The agent process. Its targets are made once every area of this directory has described
# its libraries, and only when those libraries exist.
function(_tavrin_agent_program name conversation)
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/audio_recorder.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  velantis_logger(${name} AGENT)
  velantis_uds_server(${name})
  target_link_libraries(${name} PRIVATE ${conversation} agent_websocket agent_robot orvanite mc_client
    PkgConfig::OPUS PkgConfig::ALSA Threads::Threads)
endfunction()

function(_tavrin_agent_targets)
  set(missing "")
  foreach(t agent_conversation agent_websocket agent_robot orvanite mc_client)
    if(NOT TARGET ${t})
      list(APPEND missing ${t})
    endif()
  endforeach()
  if(NOT COMMAND velantis_uds_server)
    list(APPEND missing velantis_uds_server)
  endif()
  if(missing)
    message(STATUS "tavrin_agent: not built yet, waiting for ${missing}")
    return()
  endif()
  _tavrin_agent_program(tavrin_agent agent_conversation)
  install(TARGETS tavrin_agent RUNTIME DESTINATION bin COMPONENT runtime)

  # The same program talking to a cloud on loopback, for the end-to-end test, the demo and the benchmarks.
  if(COMMAND velantis_conversation_library)
    velantis_conversation_library(agent_conversation_loopback "localhost:18444")
    _tavrin_agent_program(tavrin_agent_loopback agent_conversation_loopback)
  endif()
endfunction()

cmake_language(DEFER CALL _tavrin_agent_targets)
