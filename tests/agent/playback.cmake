# Playback through the paced ALSA test device.
if(TARGET agent_conversation AND TARGET rig_cloud AND TARGET alsa_rig)
  velantis_test(playback_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/playback_test.cpp
    LIBS agent_conversation rig_cloud alsa_rig mc_client PkgConfig::OPUSENC
    LABELS threaded TIMEOUT 120)
  velantis_logger(playback_test AGENT)
  target_include_directories(playback_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()
