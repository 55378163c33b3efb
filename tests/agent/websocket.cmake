# The WebSocket client against the fake cloud (real TLS on loopback).
velantis_test(websocket_client_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/websocket_test.cpp
  LIBS agent_websocket rig_cloud
  LABELS threaded
  TIMEOUT 120)

# The standalone fake_cloud program as the end-to-end tests and the demo run it.
velantis_test(websocket_fake_cloud_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/websocket_fake_cloud_test.cpp
  LIBS agent_websocket rig_cloud
  LABELS threaded
  TIMEOUT 120)
add_dependencies(websocket_fake_cloud_test fake_cloud)
