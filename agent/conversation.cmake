# The conversation with the cloud: playback and ws_controller.
# velantis_conversation_library(<name> <host>) builds them against the cloud at <host>
# ("name" or "name:port"); tests and the demo use loopback hosts of their own.
function(velantis_conversation_library name host)
  add_library(${name} STATIC
    ${CMAKE_SOURCE_DIR}/agent/playback.cpp
    ${CMAKE_SOURCE_DIR}/agent/ws_controller.cpp)
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  target_compile_definitions(${name} PRIVATE VELANTIS_CLOUD_HOST_NAME="${host}")
  velantis_logger(${name} AGENT)
  target_link_libraries(${name}
    PUBLIC agent_websocket agent_robot mc_client nlohmann_json::nlohmann_json Threads::Threads
           PkgConfig::OPUSFILE PkgConfig::OPUS PkgConfig::ALSA spdlog::spdlog fmt::fmt)
endfunction()

velantis_conversation_library(agent_conversation ${VELANTIS_CLOUD_HOST})
