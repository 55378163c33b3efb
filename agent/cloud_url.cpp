// The cloud endpoint. Its host is chosen when building (VELANTIS_CLOUD_HOST_NAME, "name" or
// "name:port"): this is the one unit that differs between the agent and its loopback variants.
#include "agent/ws_controller.h"

#ifndef VELANTIS_CLOUD_HOST_NAME
#error "VELANTIS_CLOUD_HOST_NAME must name the cloud host (see velantis_cloud_host in agent/CMakeLists.txt)"
#endif

namespace velantis {

const std::string TOLVANE_WS_URL = std::string("wss://") + VELANTIS_CLOUD_HOST_NAME +
                                   "/embodied/tolvane/v1/?device-id=00:11:22:33:44:55&client-id=web_test_client";

}  // namespace velantis
