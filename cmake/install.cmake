# Install tree for a robot and for host programs of the service library:
#   bin/                 tavrin_agent (and the example host)
#   lib/                 our libraries (lib*.so.0), sherpa-onnx's, the simulated libmc_client.so
#   res/                 the agent's sounds: start the agent with PREFIX as working directory
#   include/velantis/    public headers, included as <velantis/agent_service/...> and <velantis/orvanite/...>
#   lib/cmake/Velantis/  find_package(Velantis CONFIG): Velantis::velantis_agent_service, Velantis::orvanite
#   lib/pkgconfig/       velantis_agent_service.pc, orvanite.pc
# Components: "runtime" (what the agent and a host run with), "development" (headers, the
# unversioned .so links, the CMake and pkg-config files) and "example" (the example host).
# The libraries add themselves to the export set VelantisTargets with their headers.
include(CMakePackageConfigHelpers)

# Versioned shared libraries: lib<name>.so.0 is the SONAME, lib<name>.so the development link.
set_target_properties(orvanite velantis_agent_service PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 0)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/res/ DESTINATION res COMPONENT runtime FILES_MATCHING PATTERN "*.wav")

set(VELANTIS_CMAKE_DIR lib/cmake/Velantis)
install(EXPORT VelantisTargets NAMESPACE Velantis:: DESTINATION ${VELANTIS_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VelantisConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/VelantisConfig.cmake
  INSTALL_DESTINATION ${VELANTIS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/VelantisConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/VelantisConfig.cmake
              ${CMAKE_BINARY_DIR}/package/VelantisConfigVersion.cmake
        DESTINATION ${VELANTIS_CMAKE_DIR} COMPONENT development)

# pkg-config files, relocatable (paths relative to the .pc file).
foreach(pc_lib velantis_agent_service orvanite)
  if(pc_lib STREQUAL "velantis_agent_service")
    set(PC_DESCRIPTION "Velantis agent service: local speech and wake-word servers and their clients")
  else()
    set(PC_DESCRIPTION "Velantis microphone-array link")
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/velantis_library.pc.in ${CMAKE_BINARY_DIR}/package/${pc_lib}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/${pc_lib}.pc DESTINATION lib/pkgconfig COMPONENT development)
endforeach()
