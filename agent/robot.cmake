# Robot controller: command words to motion-control calls on a worker thread.
add_library(agent_robot STATIC ${CMAKE_CURRENT_LIST_DIR}/rc_sdk_controller.cpp)
target_include_directories(agent_robot PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(agent_robot PUBLIC mc_client Threads::Threads)
velantis_logger(agent_robot AGENT)
