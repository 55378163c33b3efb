# Tests of liborvanite and of the process-wide logger.

# Frames, dumps and the parser, through the header alone.
velantis_test(orvanite_connector_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvanite_connector_test.cpp
  LIBS rig_board nlohmann_json::nlohmann_json)
velantis_logger(orvanite_connector_test AGENT)

# The read loop on a pseudo-terminal: the library's code compiled into the test.
velantis_test(orvanite_link_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvanite_link_test.cpp ${CMAKE_SOURCE_DIR}/orvanite/orvanite.cpp
  LIBS rig_board nlohmann_json::nlohmann_json
  LABELS threaded)
velantis_logger(orvanite_link_test AGENT)

# Helper programs started by the process tests.
add_executable(orvanite_link_host ${CMAKE_CURRENT_LIST_DIR}/orvanite_link_host.cpp)
target_link_libraries(orvanite_link_host PRIVATE orvanite Threads::Threads)
velantis_logger(orvanite_link_host AGENT)

add_executable(orvanite_probe_agent ${CMAKE_CURRENT_LIST_DIR}/orvanite_probe_agent.cpp)
target_link_libraries(orvanite_probe_agent PRIVATE orvanite)
velantis_logger(orvanite_probe_agent AGENT)

add_executable(orvanite_probe_dlopen ${CMAKE_CURRENT_LIST_DIR}/orvanite_probe_dlopen.cpp)
target_link_libraries(orvanite_probe_dlopen PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(orvanite_probe_dlopen orvanite)

add_library(orvanite_probe_service_lib SHARED ${CMAKE_CURRENT_LIST_DIR}/orvanite_probe_service_lib.cpp)
target_link_libraries(orvanite_probe_service_lib PRIVATE orvanite)
velantis_logger(orvanite_probe_service_lib SERVICE)
add_executable(orvanite_probe_service_host ${CMAKE_CURRENT_LIST_DIR}/orvanite_probe_service_host.cpp)
target_link_libraries(orvanite_probe_service_host PRIVATE orvanite_probe_service_lib)

# The library as shipped: its symbols, its fixed device path, whole runs in other processes.
velantis_test(orvanite_library_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvanite_library_test.cpp
  LIBS orvanite rig_board
  LABELS threaded)
velantis_logger(orvanite_library_test AGENT)
add_dependencies(orvanite_library_test orvanite_link_host board_play)

velantis_test(orvanite_logger_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/orvanite_logger_test.cpp)
add_dependencies(orvanite_logger_test orvanite_probe_agent orvanite_probe_dlopen orvanite_probe_service_host)

# Each in-process test writes logs/basic-log.txt into a working directory of its own.
foreach(t orvanite_connector_test orvanite_link_test orvanite_library_test)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${t}.wd)
  set_tests_properties(${t} PROPERTIES WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${t}.wd)
endforeach()
