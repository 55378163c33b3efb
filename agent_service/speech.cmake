# Local speech and wake-word servers: TtsEngine, KokoroTtsServer, WakeWordServer.
# Linked into libvelantis_agent_service (service library banner).
if(COMMAND velantis_uds_server AND TARGET orvanite)
  add_library(agent_speech STATIC
    ${CMAKE_CURRENT_LIST_DIR}/kokoro_tts_server.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wakeword_server.cpp)
  target_include_directories(agent_speech PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  velantis_logger(agent_speech SERVICE)
  velantis_uds_server(agent_speech)
  target_link_libraries(agent_speech PUBLIC orvanite sherpa_onnx_c_api PkgConfig::ALSA Threads::Threads
                                     spdlog::spdlog fmt::fmt)
endif()
