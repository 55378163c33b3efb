// Helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/log_utils.h"
#include "tests/support/log_capture.h"

namespace fuzz {

// Every log line is still formatted; it just goes nowhere.
inline void silenceLog() { test_support::silence(*logF->logger); }

// The log, and standard output that the code under test prints to (libFuzzer reports on
// standard error).
inline void silenceOutput() {
    silenceLog();
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(fd, STDOUT_FILENO);  // fails harmlessly when the open did
    close(fd);
}

// The simulated robot under ws_controller, read at its Init: no delays, no trace. With the
// drive refused, movements end at once instead of running for their duration.
inline void quickSimRobot(bool refuse_drive) {
    setenv("MC_SIM_DRIVE_DELAY_MS", "0", 1);
    setenv("MC_SIM_SCENE_DELAY_MS", "0", 1);
    if (refuse_drive) setenv("MC_SIM_REFUSE_DRIVE", "1", 1);
    unsetenv("MC_SIM_TRACE");
}

inline std::string asText(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

}  // namespace fuzz
