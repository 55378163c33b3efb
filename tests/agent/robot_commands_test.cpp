// Command words: movement durations and velocities, heartbeats, refusals, unknown words.
#include "tests/agent/robot_test_support.h"

#include <climits>

using namespace robot_test;
using namespace test_support;

namespace {

struct Expected {
    size_t calls;
    double lx, ly, az;
};

void expect_velocity(const TraceCall& c, const Expected& e) {
    for (const auto& [k, v] :
         {std::pair{"mode", 2.0}, {"lx", e.lx}, {"ly", e.ly}, {"lz", 0.0}, {"ax", 0.0}, {"ay", 0.0}, {"az", e.az}})
        EXPECT_DOUBLE_EQ(c.real(k), v) << k << " in " << c.line;
}

const std::string kHandling = "Handling movement command with direction:, duration: ";

}  // namespace

TEST_F(RobotTest, MovementDurationsVelocitiesAndFreshHeartbeats) {
    const Commands words = {{"前", 1},     {"后", 0},     {"左移", 2},  {"右移", -5},   {"左转", 0},
                            {"左转", -30}, {"左转", -60}, {"右转", 30}, {"前", INT_MIN}};
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}}).handle_command_list(words);
    const std::vector<Expected> expected = {{6, 0.5, 0, 0},   {6, -0.5, 0, 0},   {60, 0, 0.5, 0}, {6, 0, -0.5, 0},
                                            {100, 0, 0, 0.5}, {200, 0, 0, -0.5}, {6, 0.5, 0, 0}};
    size_t total = 0;
    for (const auto& e : expected) total += e.calls;

    auto t = trace();
    ASSERT_EQ(t.wait_for_count("DirectionMovement", total, 30s), total);
    const auto lines = stop();

    auto all = t.all();
    EXPECT_EQ(only(all, "DirectionMovement").size(), total);
    auto runs = robot_rig::movement_runs(all);
    ASSERT_EQ(runs.size(), expected.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].size(), expected[i].calls) << "run " << i;
        for (const auto& c : runs[i]) expect_velocity(c, expected[i]);
        // One call per 10 ms sleep at least.
        for (size_t k = 1; k < runs[i].size(); ++k) EXPECT_GE(runs[i][k].mono_ns - runs[i][k - 1].mono_ns, 10'000'000);
    }

    // Each movement carries the heartbeat of the status read just before it, on the worker.
    for (size_t i = 1; i < all.size(); ++i) {
        if (!robot_rig::is_call(all[i], "DirectionMovement")) continue;
        EXPECT_TRUE(robot_rig::is_call(all[i - 1], "GetCommonStatus")) << all[i - 1].line;
        EXPECT_EQ(all[i].num("heartbeat"), all[i - 1].num("heartbeat")) << all[i].line;
        EXPECT_EQ(all[i].tid, all[i - 1].tid);
        EXPECT_TRUE(all[i].result()) << all[i].line;
    }

    for (const char* line : {"processCommands", "enqueued command:"}) EXPECT_EQ(countLines(lines, line), 9u) << line;
    for (const auto& [steps, n] : {std::pair{6, 4u}, {60, 1u}, {100, 1u}, {0, 1u}, {-100, 1u}, {200, 1u}})
        EXPECT_EQ(countLines(lines, "duration / 10 = " + std::to_string(steps)), n) << steps;

    auto l = logs();
    for (int d : {600, 1000, 0, -1000, 2000}) EXPECT_GE(countLog(l, info, kHandling + std::to_string(d)), 1u) << d;
    EXPECT_EQ(countLog(l, info, kHandling + "60"), 4u);
}

TEST_F(RobotTest, NumbersBeyondTheMillisecondRangeNeverMove) {
    // 前 INT_MAX: (n - 1) * 600 ms; 右转 INT_MAX and INT_MIN: far outside 32 bits.
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}})
        .handle_command_list({{"前", INT_MAX}, {"后", 3579141}, {"右转", INT_MAX}, {"左转", INT_MIN}, {"前", 1}});
    auto t = trace();
    ASSERT_EQ(t.wait_for_count("DirectionMovement", 6, 20s), 6u);
    EXPECT_EQ(countLines(stop(), "processCommands"), 1u);

    auto runs = robot_rig::movement_runs(t.all());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].size(), 6u);
    expect_velocity(runs[0][0], {6, 0.5, 0, 0});
    for (const char* command : {"前 2147483647", "后 3579141", "右转 2147483647", "左转 -2147483648"})
        expectLogged({{err, "Movement duration out of range for " + std::string(command) + ", command ignored", 1}});
}

TEST_F(RobotTest, UnknownWordsAreIgnoredAndRepeatedWordsQueueTwice) {
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}}).handle_command_list({});
    const Commands words = {
        {" 前", 5}, {"前 ", 5}, {"forward", 5}, {"", 0}, {"左", 9}, {"摆 尾", 0}, {std::string("前\0", 4), 5},
        {"前", 0},  {"前", 0}};
    rc_->handle_command_list(words);
    auto t = trace();
    ASSERT_EQ(t.wait_for_count("DirectionMovement", 12, 20s), 12u);
    EXPECT_EQ(countLines(stop(), "processCommands"), 2u);
    EXPECT_EQ(robot_rig::movement_runs(t.all()).size(), 2u);
    EXPECT_EQ(t.count("DirectionMovement"), 12u);
    EXPECT_EQ(t.count("LightStripControl"), 0u);
}

TEST_F(RobotTest, MovementsAreRefusedWhileTheDriveIsOff) {
    start({{"MC_SIM_DRIVE", "4"}}).handle_command_list({{"前", 2}, {"左转", 30}});
    auto t = trace();
    ASSERT_EQ(t.wait_for_count("GetCommonStatus", 2, 10s), 2u);
    const auto lines = stop();  // the second task, now running, ends first
    EXPECT_EQ(t.count("GetCommonStatus"), 2u);
    EXPECT_EQ(t.count("DirectionMovement"), 0u);
    EXPECT_EQ(countLines(lines, "Robot is not in a valid state to move."), 2u);
    for (const auto& line : lines) EXPECT_EQ(line.rfind("duration / 10", 0), std::string::npos) << line;
    expectLogged({{err, "Robot is not in a valid state to move.", 2}});
}

TEST_F(RobotTest, FailedStatusReadsNeverReadAsDriveEnabled) {
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}, {"MC_SIM_FAIL_STATUS", "1"}}).handle_command_list({{"前", 2}});
    ASSERT_EQ(trace().wait_for_count("GetCommonStatus", 1, 10s), 1u);
    EXPECT_EQ(countLines(stop(), "Robot is not in a valid state to move."), 1u);
    EXPECT_EQ(trace().count("DirectionMovement"), 0u);

    // The library leaves a record that reads as driving: only the controller's reset
    // keeps the movement from using it.
    robot_control::common::ROBOT_COMMON_STATUS_ left;
    EXPECT_FALSE(rcClientInterfaceGetCommonStatus(&left));
    EXPECT_EQ(left.driver_enable_state, 1);
}

TEST_F(RobotTest, StartThenMoveInOneListWaitsForTheDrive) {
    start({{"MC_SIM_DRIVE", "4"}, {"MC_SIM_DRIVE_DELAY_MS", "250"}}).handle_command_list({{"启动", 0}, {"前", 0}});
    auto t = trace();
    // The robot lies down, so it ignores the movement, but the controller sends it.
    ASSERT_EQ(t.wait_for_count("DirectionMovement", 6, 20s), 6u);
    auto all = t.all();
    auto enable = only(all, "DriverEnable");
    ASSERT_EQ(enable.size(), 1u);
    EXPECT_EQ(enable[0].num("enable"), 1);
    // The poll confirmed the drive before the movement task read the status.
    const TraceCall* confirmed = nullptr;
    for (const auto& c : all)
        if (!confirmed && robot_rig::is_call(c, "GetCommonStatus") && c.num("driver_enable_state") == 1) confirmed = &c;
    ASSERT_NE(confirmed, nullptr);
    EXPECT_GT(only(all, "DirectionMovement").front().mono_ns, confirmed->mono_ns);
    EXPECT_GE(ms_between(enable[0], *confirmed), 250);
    expectLogged({{info, "Driver successfully enabled", 1}});
}

TEST_F(RobotTest, DurationsFollowTheirArithmetic) {
    // Each duration is logged as the word is queued; the robot's drive is off, so nothing moves.
    // The last three in single precision: double arithmetic would give 16300, 32100 and 32299.
    const Commands words = {{"前", 2},   {"后", 3},     {"右移", 3579140}, {"左转", 45},
                            {"右转", 1}, {"左转", 459}, {"右转", 933},     {"左转", 939}};
    start({{"MC_SIM_DRIVE", "4"}}).handle_command_list(words);
    stop();
    EXPECT_EQ(trace().count("DirectionMovement"), 0u);
    for (int d : {600, 1200, 2147483400, 2500, 1033, 16299, 32099, 32300})
        expectLogged({{info, kHandling + std::to_string(d), 1}});
}
