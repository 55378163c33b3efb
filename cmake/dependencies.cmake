# Every dependency comes from Debian, except sherpa-onnx's C API library, which
# scripts/setup unpacks from its pinned npm package into third_party/.
find_package(Threads REQUIRED)
find_package(spdlog REQUIRED)
find_package(fmt REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(Boost 1.81 EXACT REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(OPUSFILE REQUIRED IMPORTED_TARGET opusfile)
pkg_check_modules(OGG REQUIRED IMPORTED_TARGET ogg)
pkg_check_modules(OPUSENC REQUIRED IMPORTED_TARGET libopusenc)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)

set(SHERPA_ONNX_VERSION 1.13.8)
set(SHERPA_ONNX_DIR ${CMAKE_SOURCE_DIR}/third_party/sherpa-onnx-${SHERPA_ONNX_VERSION})
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
