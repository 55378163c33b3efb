# Secure WebSocket client on Boost.Beast (Beast itself in one translation unit: it is heavy to compile).
add_library(agent_websocket STATIC
  ${CMAKE_CURRENT_LIST_DIR}/websocket_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/websocket_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/websocket_url.cpp)
target_include_directories(agent_websocket PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR})
target_link_libraries(agent_websocket
  PUBLIC Threads::Threads
  PRIVATE Boost::headers OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)
