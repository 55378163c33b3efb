# Secure WebSocket client on Boost.Beast (one translation unit: Beast is heavy to compile).
add_library(agent_websocket STATIC ${CMAKE_CURRENT_LIST_DIR}/websocket_client.cpp)
target_include_directories(agent_websocket PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(agent_websocket
  PUBLIC Threads::Threads
  PRIVATE Boost::headers OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)
