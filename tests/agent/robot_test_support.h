// Shared set-up for the robot controller tests: a private simulated robot (trace file in
// a temporary directory) and the calls it traced.
#pragma once

#include "tests/rig/robot/robot_trace.h"
#include "tests/support/files.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
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

// A private simulated robot: configures MC_SIM_* for the next rcClientInterfaceInit
// (the controller's constructor) and gives the trace.
class RobotTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::processLog();
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
        log_mark_ = test_support::processLog().size();
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
    std::vector<test_support::LogEntry> logs() const { return test_support::processLog().since(log_mark_); }

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
