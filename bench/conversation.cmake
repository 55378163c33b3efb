# Received speech: time to first sample and CPU cost of playback (against the fake cloud
# on loopback port 18445 and the paced ALSA test device).
if(TARGET agent_conversation AND TARGET rig_cloud AND TARGET alsa_rig)
  velantis_conversation_library(agent_conversation_bench "localhost:18445")
  add_executable(conversation_bench ${CMAKE_CURRENT_LIST_DIR}/conversation_bench.cpp)
  target_include_directories(conversation_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  target_link_libraries(conversation_bench PRIVATE agent_conversation_bench rig_cloud alsa_rig mc_client
    PkgConfig::OPUSFILE Threads::Threads)
  target_compile_definitions(conversation_bench PRIVATE VELANTIS_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  velantis_logger(conversation_bench AGENT)
endif()
