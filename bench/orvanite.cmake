# Figures of the microphone-array link: build/bin/orvanite_bench (run it in a scratch directory:
# it writes logs/basic-log.txt there).
add_executable(orvanite_bench ${CMAKE_CURRENT_LIST_DIR}/orvanite_bench.cpp ${CMAKE_SOURCE_DIR}/orvanite/orvanite.cpp)
target_include_directories(orvanite_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(orvanite_bench PRIVATE rig_board nlohmann_json::nlohmann_json Threads::Threads)
velantis_logger(orvanite_bench AGENT)
