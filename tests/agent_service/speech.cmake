# Tests of the local speech and wake-word servers.
if(TARGET agent_speech AND TARGET alsa_rig AND TARGET kokoro_rig)
  velantis_test(speech_tts_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/speech_tts_test.cpp
    LIBS agent_speech alsa_rig kokoro_rig agent_rig spdlog::spdlog fmt::fmt
    LABELS threaded
    LOCK velantis_tts_sock
    TIMEOUT 240
    ENV LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/speech_lsan.supp)
  velantis_logger(speech_tts_test SERVICE)
endif()

if(TARGET agent_speech AND TARGET rig_board)
  # The wake-word server as a process of its own (run under the private /dev/ttyACM0).
  add_executable(speech_wakeword_host ${CMAKE_CURRENT_LIST_DIR}/speech_wakeword_host.cpp)
  target_link_libraries(speech_wakeword_host PRIVATE agent_speech Threads::Threads)
  velantis_logger(speech_wakeword_host SERVICE)

  velantis_test(speech_wakeword_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/speech_wakeword_test.cpp
    LIBS agent_speech rig_board agent_rig spdlog::spdlog fmt::fmt
    LABELS threaded
    LOCK velantis_wakeword_sock
    TIMEOUT 120)
  velantis_logger(speech_wakeword_test SERVICE)
  target_compile_definitions(speech_wakeword_test PRIVATE
    SPEECH_WAKEWORD_HOST="$<TARGET_FILE:speech_wakeword_host>")
  add_dependencies(speech_wakeword_test speech_wakeword_host)
endif()
