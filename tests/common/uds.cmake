# The Unix-domain socket server, driven through real sockets and threads.
foreach(name uds_server_test uds_robustness_test)
  velantis_test(${name} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp LABELS threaded TIMEOUT 120)
  velantis_logger(${name} AGENT)
  velantis_uds_server(${name})
endforeach()
