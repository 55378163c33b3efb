# libvelantis_agent_service: the service supervisor and host interface, the local clients
# and the capture pair, with the speech and wake-word servers of agent_speech.
if(TARGET orvanite)
  add_library(velantis_agent_service SHARED
    ${CMAKE_CURRENT_LIST_DIR}/velantis_agent_service.cpp
    ${CMAKE_CURRENT_LIST_DIR}/local_clients.cpp
    ${CMAKE_CURRENT_LIST_DIR}/capture_pair.cpp)
  target_include_directories(velantis_agent_service PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/common)
  velantis_logger(velantis_agent_service SERVICE)
  target_link_libraries(velantis_agent_service PRIVATE orvanite sherpa_onnx_c_api
    PkgConfig::ALSA PkgConfig::OPUS Threads::Threads)
  # Only the host interface, the server classes and the logger bootstrap are exported.
  velantis_export_only(velantis_agent_service ${CMAKE_CURRENT_LIST_DIR}/velantis_agent_service.map)
  # The board's link thread outlives the service and runs this library's code until the
  # process ends, so dlclose must not unmap it.
  target_link_options(velantis_agent_service PRIVATE -Wl,-z,nodelete)
  install(TARGETS velantis_agent_service EXPORT VelantisTargets
          LIBRARY DESTINATION lib COMPONENT runtime NAMELINK_COMPONENT development INCLUDES DESTINATION include)
  # Public headers: the host interface, the message header and types it uses, and the
  # wake-word payload records a listener reads.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/velantis_agent_service.h ${CMAKE_CURRENT_LIST_DIR}/wakeword_server.h
          DESTINATION include/velantis/agent_service COMPONENT development)
  install(FILES ${CMAKE_SOURCE_DIR}/common/unix_domain_socket_server.h DESTINATION include/velantis/common
          COMPONENT development)

  # agent_speech is described by a file sorted after this one.
  function(_velantis_service_link_speech)
    if(TARGET agent_speech)
      target_link_libraries(velantis_agent_service PRIVATE agent_speech)
    else()
      message(WARNING "agent_speech is missing: libvelantis_agent_service will not link")
    endif()
  endfunction()
  cmake_language(DEFER CALL _velantis_service_link_speech)
endif()
