// A library with the service library's logger definition that links liborvanite.
#include "orvanite/orvanite.h"

#include "common/log_utils.h"

extern "C" void service_probe_log(const char* text) {
    logF->logger->info("{}", text);
    orvanite::send_orvanite_str(text);
}
