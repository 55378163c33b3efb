// Shared set-up for the robot controller tests: a private simulated robot (trace file in
// a temporary directory), captured log messages and captured standard output.
#pragma once

#include "common/log_utils.h"
#include "tests/rig/robot/robot_trace.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace robot_test {

using namespace std::chrono_literals;

using LogEntry = test_support::LogEntry;
// Keeps every message the process logs, beside the log file.
using CaptureSink = test_support::LogCapture;

// Installed once, from the main thread, before any controller starts a worker.
inline CaptureSink& log_capture() {
    static std::shared_ptr<CaptureSink> sink = test_support::attach(*logF->logger, std::make_shared<CaptureSink>());
    return *sink;
}

// Log messages since `from` (an index into the capture).
inline std::vector<LogEntry> logs_since(size_t from) { return test_support::since(log_capture().entries(), from); }

inline size_t count_log(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text) {
    return test_support::countLog(logs, level, text);
}

// Redirects standard output into a file while it lives; text() reads what arrived. Restoring
// echoes what was captured, so failures stay readable.
class StdoutCapture : public test_support::FdCapture {
public:
    explicit StdoutCapture(const std::string& path) : FdCapture(1, path, true) {}
};

inline size_t count_line(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const auto& l : lines) n += l == text ? 1 : 0;
    return n;
}

// A private simulated robot: configures MC_SIM_* for the next rcClientInterfaceInit
// (the controller's constructor) and gives the trace.
class RobotTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_capture();
        dir_ = test_support::makeTempDir("robot_test");
        for (const char* v :
             {"MC_SIM_FAIL_INIT", "MC_SIM_FAIL_STATUS", "MC_SIM_FAIL_STATUS_AFTER", "MC_SIM_REFUSE_DRIVE",
              "MC_SIM_REFUSE_SCENE", "MC_SIM_REFUSE_SPEED", "MC_SIM_REFUSE_GUARDIAN", "MC_SIM_DRIVE_STUCK",
              "MC_SIM_SCENE_STUCK", "MC_SIM_DRIVE_DELAY_MS", "MC_SIM_SCENE_DELAY_MS", "MC_SIM_DRIVE", "MC_SIM_SCENE",
              "MC_SIM_TILE_NAME"})
            ::unsetenv(v);
        ::setenv("MC_SIM_TRACE", trace_path().c_str(), 1);
        ::setenv("MC_SIM_DRIVE_DELAY_MS", "50", 1);
        ::setenv("MC_SIM_SCENE_DELAY_MS", "50", 1);
        log_mark_ = log_capture().entries().size();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Sets simulator variables for the controller constructed next.
    void sim(std::initializer_list<std::pair<const char*, const char*>> vars) {
        for (const auto& [k, v] : vars) ::setenv(k, v, 1);
    }
    std::string trace_path() const { return dir_ + "/robot.trace"; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    robot_rig::TraceReader trace() const { return robot_rig::TraceReader(trace_path()); }
    std::vector<LogEntry> logs() const { return logs_since(log_mark_); }

    std::string dir_;
    size_t log_mark_ = 0;
};

// The calls of one function within `calls`.
inline std::vector<robot_rig::TraceCall> only(const std::vector<robot_rig::TraceCall>& calls, const std::string& name) {
    std::vector<robot_rig::TraceCall> out;
    for (const auto& c : calls)
        if (robot_rig::is_call(c, name)) out.push_back(c);
    return out;
}

inline long long ms_between(const robot_rig::TraceCall& a, const robot_rig::TraceCall& b) {
    return (b.mono_ns - a.mono_ns) / 1'000'000;
}

}  // namespace robot_test
