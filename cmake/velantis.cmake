# Project helpers shared by every directory.

# velantis_logger(<target> AGENT|SERVICE|ORVANITE)
# Compiles the process-wide logger bootstrap into a deliverable with that deliverable's banner.
# A program also exports the bootstrap's symbols, so the libraries it loads share its instance.
function(velantis_logger target kind)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/common)
  target_compile_definitions(${target} PRIVATE LOG_UTILS_${kind})
  target_link_libraries(${target} PRIVATE spdlog::spdlog fmt::fmt)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_link_options(${target} PRIVATE -Wl,--dynamic-list=${CMAKE_SOURCE_DIR}/cmake/log_utils.dynlist)
  endif()
endfunction()

# velantis_export_only(<shared library> <version script>)
# Keeps everything but what the script names out of the dynamic symbol table.
function(velantis_export_only target script)
  target_link_options(${target} PRIVATE -Wl,--version-script=${script})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
endfunction()

# velantis_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [LOCK ...] [TIMEOUT s] [ENV ...])
# One GoogleTest program in build/bin, registered with CTest as one test.
# LABELS: "threaded" puts it in the ThreadSanitizer run. LOCK: names of fixed system
# paths the test uses (serialises tests that share one).
function(velantis_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;LOCK;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "VELANTIS_SOURCE_DIR=${CMAKE_SOURCE_DIR};VELANTIS_BINARY_DIR=${CMAKE_BINARY_DIR};${T_ENV}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCK}")
  endif()
endfunction()
