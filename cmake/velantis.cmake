# Build options turned into flags, and the helpers every folder uses.

add_compile_options(-Wall -Wextra -Wpedantic -Wno-unused-parameter)

# Sanitizer builds keep line tables only (-g1): quicker to build, and the reports still name
# every frame with its file and line. The test side (VELANTIS_TEST_COMPILE_OPTIONS: tests,
# rigs, test support) is also optimised less there (-O1); the system's own code keeps -O2,
# so that the programs under test keep their real-time pace.
set(VELANTIS_TEST_COMPILE_OPTIONS "")
if(VELANTIS_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g1)
  add_link_options(-fsanitize=address,undefined)
  set(VELANTIS_TEST_COMPILE_OPTIONS -O1)
elseif(VELANTIS_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan -g1)
  add_link_options(-fsanitize=thread)
  set(VELANTIS_TEST_COMPILE_OPTIONS -O1)
elseif(NOT VELANTIS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELANTIS_SANITIZE must be '', 'address' or 'thread'")
endif()

if(VELANTIS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELANTIS_FUZZ needs clang (cmake --preset fuzz)")
  endif()
  if(NOT BUILD_TESTING)
    message(FATAL_ERROR "VELANTIS_FUZZ needs BUILD_TESTING (the fuzz targets use the test-support library)")
  endif()
  if(NOT VELANTIS_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VELANTIS_FUZZ brings its own sanitizers: leave VELANTIS_SANITIZE empty")
  endif()
  # Everything the fuzz targets drive is built with coverage and sanitizers (line tables
  # only, as in the sanitizer builds).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g1)
  add_link_options(-fsanitize=address,undefined)
endif()

# velantis_logger(<target> AGENT|SERVICE|ORVANITE|SHARED)
# The process-wide logger (common/log_utils.h) in a target's units. AGENT, SERVICE and
# ORVANITE compile its bootstrap with that deliverable's banner (and its journal sink, from
# libsystemd); SHARED units, linked into several deliverables, only log through it. A program
# also exports the bootstrap's symbols, so the libraries it loads share its instance.
function(velantis_logger target kind)
  target_compile_definitions(${target} PRIVATE LOG_UTILS_${kind})
  target_link_libraries(${target} PRIVATE spdlog::spdlog fmt::fmt)
  if(NOT kind STREQUAL "SHARED")
    target_link_libraries(${target} PRIVATE PkgConfig::SYSTEMD)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_link_options(${target} PRIVATE -Wl,--dynamic-list=${PROJECT_SOURCE_DIR}/cmake/log_utils.dynlist)
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
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "VELANTIS_SOURCE_DIR=${PROJECT_SOURCE_DIR};VELANTIS_BINARY_DIR=${PROJECT_BINARY_DIR};${T_ENV}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCK}")
  endif()
endfunction()
