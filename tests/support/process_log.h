// The capture on this process's logger (logF): one per process, added on first use.
#pragma once

#include <memory>

#include "common/log_utils.h"
#include "tests/support/log_capture.h"

namespace test_support {

// Call it from the main thread before other threads log (a fixture's SetUp does).
inline LogCapture& processLog() {
    static const auto sink = [] {
        auto s = std::make_shared<LogCapture>();
        logF->logger->sinks().push_back(s);
        return s;
    }();
    return *sink;
}

}  // namespace test_support
