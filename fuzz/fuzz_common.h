// Helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include "common/log_utils.h"
#include "tests/support/log_capture.h"

namespace fuzz {

// Every log line is still formatted; it just goes nowhere.
inline void silenceLog() { test_support::silence(*logF->logger); }

// The code under test prints to standard output; libFuzzer reports on standard error.
inline void silenceStdout() {
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(fd, STDOUT_FILENO);  // fails harmlessly when the open did
    close(fd);
}

}  // namespace fuzz
