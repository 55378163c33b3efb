# Tests of the agent process, run as a separate process in private mount (and network)
# namespaces: they need root and skip without it.
if(TARGET tavrin_agent AND TARGET rig_board AND TARGET alsa_rig)
  velantis_test(agent_control_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/agent_control_test.cpp
    LIBS agent_rig rig_board alsa_rig
    LABELS threaded
    TIMEOUT 120)
  add_dependencies(agent_control_test tavrin_agent)
endif()

# The simulated conversation: shared by the end-to-end test, the demo and the benchmarks.
if(TARGET tavrin_agent_loopback AND TARGET rig_board AND TARGET alsa_rig AND TARGET rig_cloud
   AND TARGET robot_trace)
  set(_agent_rig_dir ${CMAKE_SOURCE_DIR}/tests/rig/agent)
  add_library(agent_conversation_rig STATIC ${_agent_rig_dir}/conversation_rig.cpp)
  target_include_directories(agent_conversation_rig PUBLIC ${_agent_rig_dir})
  target_link_libraries(agent_conversation_rig PUBLIC agent_rig rig_board alsa_rig rig_cloud robot_trace
    PRIVATE nlohmann_json::nlohmann_json PkgConfig::OPUS)
  add_dependencies(agent_conversation_rig tavrin_agent_loopback mc_client asound_module_pcm_velantis_paced)

  velantis_test(agent_e2e_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/agent_e2e_test.cpp
    LIBS agent_conversation_rig PkgConfig::OPUS
    LABELS threaded
    TIMEOUT 180)

  # The README's simulated conversation, printed as a transcript.
  add_executable(agent_demo ${_agent_rig_dir}/agent_demo.cpp)
  target_link_libraries(agent_demo PRIVATE agent_conversation_rig)
  # The same, as from a clone under /tmp.
  add_test(NAME agent_demo_from_tmp COMMAND sh ${_agent_rig_dir}/demo-from-tmp ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(agent_demo_from_tmp PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
endif()
