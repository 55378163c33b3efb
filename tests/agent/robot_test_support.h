// Shared set-up for the robot controller tests: a private simulated robot (trace file in
// a temporary directory), the calls it traced and a controller with its standard output.
#pragma once

#include "agent/rc_sdk_controller.h"
#include "tests/rig/robot/robot_trace.h"
#include "tests/support/files.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace robot_test {

using namespace std::chrono_literals;
using spdlog::level::err;
using spdlog::level::info;

// Command words and their numbers, as the controller takes them.
using Commands = std::vector<std::pair<std::string, int>>;

// A line logged at a level so many times.
using Logged = std::tuple<spdlog::level::level_enum, std::string, size_t>;

// A private simulated robot: configures MC_SIM_* for the next rcClientInterfaceInit
// (the controller's constructor) and gives the trace.
class RobotTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::processLog();
        for (const char* v :
             {"MC_SIM_FAIL_INIT", "MC_SIM_FAIL_STATUS", "MC_SIM_FAIL_STATUS_AFTER", "MC_SIM_REFUSE_DRIVE",
              "MC_SIM_REFUSE_SCENE", "MC_SIM_REFUSE_SPEED", "MC_SIM_REFUSE_GUARDIAN", "MC_SIM_DRIVE_STUCK",
              "MC_SIM_SCENE_STUCK", "MC_SIM_DRIVE", "MC_SIM_SCENE", "MC_SIM_TILE_NAME"})
            ::unsetenv(v);
        ::setenv("MC_SIM_TRACE", path("robot.trace").c_str(), 1);
        ::setenv("MC_SIM_DRIVE_DELAY_MS", "50", 1);
        ::setenv("MC_SIM_SCENE_DELAY_MS", "50", 1);
        log_mark_ = test_support::processLog().size();
    }

    // Starts `rc_` on a simulated robot with these MC_SIM_* variables (after stopping the one
    // before), then captures standard output into `out_`.
    rc_sdk_controller& start(std::initializer_list<std::pair<const char*, const char*>> vars = {},
                             const std::string& address = "0.0.0.0") {
        if (rc_) stop();
        for (const auto& [k, v] : vars) ::setenv(k, v, 1);
        rc_ = std::make_unique<rc_sdk_controller>(address);
        out_ = std::make_unique<test_support::FdCapture>(1, path("stdout"), true);
        return *rc_;
    }
    // Ends the controller (a running task finishes first) and the capture; the lines captured.
    std::vector<std::string> stop() {
        rc_.reset();
        out_->restore();
        return out_->lines();
    }

    std::string path(const std::string& name) const { return dir_.file(name); }
    robot_rig::TraceReader trace() const { return robot_rig::TraceReader(path("robot.trace")); }
    std::vector<test_support::LogEntry> logs() const { return test_support::processLog().since(log_mark_); }
    void expectLogged(std::initializer_list<Logged> want) const {
        const auto l = logs();
        for (const auto& [level, text, times] : want) EXPECT_EQ(test_support::countLog(l, level, text), times) << text;
    }

    test_support::TempDir dir_{"robot_test"};
    size_t log_mark_ = 0;
    std::unique_ptr<rc_sdk_controller> rc_;
    std::unique_ptr<test_support::FdCapture> out_;
};

using robot_rig::only;
using robot_rig::TraceCall;

inline long long ms_between(const TraceCall& a, const TraceCall& b) { return (b.mono_ns - a.mono_ns) / 1'000'000; }

}  // namespace robot_test
