# Tests of the service library: clients, supervisor, capture pair, exported interface.
if(TARGET velantis_agent_service AND TARGET agent_rig)
  velantis_test(service_clients_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_clients_test.cpp
    LIBS velantis_agent_service agent_rig
    LABELS threaded
    LOCK velantis_tts_sock velantis_wakeword_sock velantis_agent_sock
    TIMEOUT 120)
endif()

if(TARGET velantis_agent_service AND TARGET agent_rig)
  velantis_test(service_supervisor_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_supervisor_test.cpp
    LIBS velantis_agent_service agent_rig ${CMAKE_DL_LIBS}
    LABELS threaded
    LOCK velantis_tts_sock velantis_wakeword_sock
    TIMEOUT 240)
  # Its own pthread_create stands in front of the C library's (thread exhaustion on demand).
  target_link_options(service_supervisor_test PRIVATE -Wl,--export-dynamic-symbol=pthread_create)
endif()

if(TARGET velantis_agent_service)
  velantis_test(service_exports_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_exports_test.cpp
    TIMEOUT 60)
  add_dependencies(service_exports_test velantis_agent_service)
endif()

if(TARGET velantis_agent_service AND TARGET alsa_rig AND TARGET agent_rig)
  velantis_test(service_capture_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_capture_test.cpp
    LIBS velantis_agent_service alsa_rig agent_rig PkgConfig::ALSA
    LABELS threaded
    TIMEOUT 60)
endif()

# The example host beside the real agent process (root: private /dev/ttyACM0 and /tmp).
if(TARGET velantis_agent_service AND TARGET tavrin_agent AND TARGET velantis_host AND TARGET rig_board
   AND TARGET kokoro_rig AND TARGET alsa_rig AND TARGET agent_rig)
  velantis_test(service_host_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_host_test.cpp
    LIBS rig_board kokoro_rig alsa_rig agent_rig
    TIMEOUT 180)
  add_dependencies(service_host_test velantis_host velantis_agent_service tavrin_agent)
endif()
