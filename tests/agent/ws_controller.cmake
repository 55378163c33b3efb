# The cloud conversation against the fake cloud on a loopback port of its own.
if(TARGET agent_conversation AND TARGET rig_cloud AND TARGET alsa_rig AND TARGET robot_trace)
  velantis_conversation_library(agent_conversation_wstest "localhost:18443")
  velantis_test(ws_controller_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ws_controller_test.cpp
    LIBS agent_conversation_wstest rig_cloud alsa_rig robot_trace mc_client
    LABELS threaded LOCK cloud_port_18443 TIMEOUT 120)
  velantis_logger(ws_controller_test AGENT)
  target_include_directories(ws_controller_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()
