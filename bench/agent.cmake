# Measurements of the agent process in the simulated conversation (run as root):
#   build/bin/agent_bench [conversations]
if(TARGET agent_conversation_rig)
  add_executable(agent_bench ${CMAKE_CURRENT_SOURCE_DIR}/agent_bench.cpp)
  target_link_libraries(agent_bench PRIVATE agent_conversation_rig PkgConfig::OPUS PkgConfig::ALSA)
endif()
