# Every dependency comes from Debian, except sherpa-onnx's C API library, which
# scripts/setup unpacks from its pinned npm package into third_party/. A missing one stops
# the configure with its name.

# The deliverables'.
find_package(Threads REQUIRED)
find_package(spdlog REQUIRED)
find_package(fmt REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(Boost 1.81 EXACT REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)
# velantis_pkg(<prefix> <module> <Debian package>): PkgConfig::<prefix>, or a configure error.
function(velantis_pkg prefix module package)
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET GLOBAL ${module})
  if(NOT ${prefix}_FOUND)
    message(FATAL_ERROR "${module} not found by pkg-config (Debian package ${package}): run scripts/setup")
  endif()
endfunction()
velantis_pkg(OPUS opus libopus-dev)
velantis_pkg(OPUSFILE opusfile libopusfile-dev)
velantis_pkg(ALSA alsa libasound2-dev)
# The journal (the logger's warnings and errors under systemd) and the agent's readiness.
velantis_pkg(SYSTEMD libsystemd libsystemd-dev)

# The pinned version, also read by scripts/setup.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/sherpa-onnx.version SHERPA_ONNX_VERSION LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/sherpa-onnx.version)
set(SHERPA_ONNX_DIR ${PROJECT_SOURCE_DIR}/third_party/sherpa-onnx-${SHERPA_ONNX_VERSION})
if(NOT EXISTS ${SHERPA_ONNX_DIR}/libsherpa-onnx-c-api.so)
  message(FATAL_ERROR "sherpa-onnx ${SHERPA_ONNX_VERSION} not found in ${SHERPA_ONNX_DIR}: run scripts/setup")
endif()
# Both libraries sit beside ours so "$ORIGIN/../lib" finds them (the C API finds onnxruntime through its own $ORIGIN).
file(MAKE_DIRECTORY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
foreach(lib libsherpa-onnx-c-api.so libonnxruntime.so)
  file(COPY ${SHERPA_ONNX_DIR}/${lib} DESTINATION ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
endforeach()
add_library(sherpa_onnx_c_api SHARED IMPORTED GLOBAL)
set_target_properties(sherpa_onnx_c_api PROPERTIES
  IMPORTED_LOCATION ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libsherpa-onnx-c-api.so
  IMPORTED_NO_SONAME ON)
install(FILES ${SHERPA_ONNX_DIR}/libsherpa-onnx-c-api.so ${SHERPA_ONNX_DIR}/libonnxruntime.so DESTINATION lib
        COMPONENT runtime)

# The stand-ins' (tests and benchmarks): the fake cloud encodes Ogg Opus.
if(BUILD_TESTING OR VELANTIS_BENCH)
  velantis_pkg(OGG ogg libogg-dev)
  velantis_pkg(OPUSENC libopusenc libopusenc-dev)
endif()
# The tests'.
if(BUILD_TESTING)
  find_package(GTest REQUIRED)
endif()
