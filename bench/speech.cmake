# Text-to-speech figures (not run by CTest): build/bin/speech_tts_bench [repetitions]
if(TARGET agent_speech AND TARGET alsa_rig AND TARGET kokoro_rig)
  add_executable(speech_tts_bench ${CMAKE_CURRENT_LIST_DIR}/speech_tts_bench.cpp)
  target_link_libraries(speech_tts_bench PRIVATE agent_speech alsa_rig kokoro_rig PkgConfig::ALSA Threads::Threads)
  velantis_logger(speech_tts_bench SERVICE)
endif()
