# Round trips and broadcasts of the Unix-domain socket server.
add_executable(uds_bench ${CMAKE_CURRENT_SOURCE_DIR}/uds_bench.cpp)
target_link_libraries(uds_bench PRIVATE Threads::Threads)
velantis_logger(uds_bench AGENT)
velantis_uds_server(uds_bench)
