# Soak: months of use in minutes (needs root; not run by CTest at full length).
#   build/bin/soak [--conversations N] [--service-cycles N] [--playback-speed X]
# Drives the agent process through N conversations with peer faults mixed in, and the
# service library through start/stop cycles with clients connected; checks that descriptors,
# threads and resident memory stay level. scripts/test runs a short one.
if(TARGET agent_conversation_rig AND TARGET kokoro_rig AND TARGET velantis_agent_service)
  add_executable(soak
    ${CMAKE_CURRENT_LIST_DIR}/soak_main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soak_agent.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soak_agent_peers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soak_service.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soak_figures.cpp)
  target_include_directories(soak PRIVATE ${CMAKE_SOURCE_DIR}/tests/rig/alsa ${CMAKE_SOURCE_DIR}/tests/agent_service)
  target_link_libraries(soak PRIVATE agent_conversation_rig kokoro_rig nlohmann_json::nlohmann_json
    PkgConfig::OPUS Threads::Threads ${CMAKE_DL_LIBS})
  add_dependencies(soak velantis_agent_service tavrin_agent_loopback mc_client asound_module_pcm_velantis_paced)
endif()
