// Helpers shared by the fuzz targets.
#pragma once

#include <spdlog/sinks/null_sink.h>

#include <fcntl.h>
#include <unistd.h>

#include "log_utils.h"

namespace fuzz {

// Every log line is still formatted; it just goes nowhere.
inline void silenceLog() {
    auto& sinks = logF->logger->sinks();
    sinks.clear();
    sinks.push_back(std::make_shared<spdlog::sinks::null_sink_mt>());
}

// The code under test prints to standard output; libFuzzer reports on standard error.
inline void silenceStdout() {
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
}

}  // namespace fuzz
