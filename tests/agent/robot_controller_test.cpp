// The robot controller's worker and queue: order, producers, shutdown, library set-up.
#include "platform/mc_client/mc_sim.h"
#include "tests/agent/robot_test_support.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace robot_test;
using namespace test_support;

namespace {

// Runs of movement calls keyed by their velocity: "lx+", "lx-", "ly+", "ly-", "az+", "az-".
std::string direction(const TraceCall& c) {
    for (const char* k : {"lx", "ly", "az"})
        if (c.real(k) != 0) return k + std::string(c.real(k) > 0 ? "+" : "-");
    return "none";
}

}  // namespace

TEST_F(RobotTest, TasksFromTwoProducersRunOneAtATimeInQueueOrder) {
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}});

    // Turn durations: -29 -> 33 ms (3 calls), -28 -> 66 ms (6), -27 -> 100 ms (10).
    std::atomic<bool> go{false};
    auto producer = [&](const char* word) {
        while (!go.load()) std::this_thread::yield();
        for (int n : {-29, -28, -27}) rc_->handle_command_list({{word, n}});
    };
    std::thread a(producer, "左转");
    std::thread b(producer, "右转");
    go = true;
    a.join();
    b.join();

    auto t = trace();
    ASSERT_EQ(t.wait_for_count("DirectionMovement", 38, 30s), 38u);
    stop();

    auto runs = robot_rig::movement_runs(t.all());
    ASSERT_EQ(runs.size(), 6u);
    std::vector<size_t> left, right;
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string d = direction(runs[i][0]);
        for (const auto& c : runs[i]) {
            EXPECT_EQ(direction(c), d);
            EXPECT_EQ(c.tid, runs[0][0].tid);
        }
        (d == "az+" ? left : right).push_back(runs[i].size());
    }
    for (size_t i = 1; i < runs.size(); ++i) EXPECT_LT(runs[i - 1].back().mono_ns, runs[i].front().mono_ns);
    EXPECT_EQ(left, (std::vector<size_t>{3, 6, 10}));
    EXPECT_EQ(right, (std::vector<size_t>{3, 6, 10}));
}

TEST_F(RobotTest, DestructionLetsTheRunningTaskFinishAndDropsTheRest) {
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}})
        .handle_command_list({{"前", 4}, {"后", 2}, {"左移", 2}, {"摇头", 0}});
    // More than the queue takes: the rest is dropped with one warning.
    const size_t mark = processLog().size();
    rc_->handle_command_list(Commands(1000, {"摇头", 0}));
    // A dropped wag shows no emoji and a dropped movement logs no line of its own: the
    // warning above stays the one line about them.
    rc_->handle_command_list({{"摆尾", 0}, {"前", 2}});
    const auto flood = processLog().since(mark);
    EXPECT_EQ(countLog(flood, spdlog::level::warn, "Robot task queue is full (256 tasks waiting), commands dropped"),
              1u);
    EXPECT_EQ(countLog(flood, info, "Setting emoji state: 6"), 0u);
    EXPECT_EQ(countLog(flood, info, "Handling movement command with direction:, duration: 600"), 0u);
    auto t = trace();
    ASSERT_TRUE(t.wait_for_call("DirectionMovement", 10s).has_value());
    stop();  // returns only after the worker has ended

    auto moves = t.calls("DirectionMovement");
    EXPECT_EQ(moves.size(), 180u);
    for (const auto& m : moves) EXPECT_EQ(direction(m), "lx+");
    EXPECT_EQ(t.count("DemoControl"), 0u);
    EXPECT_EQ(t.count("LightStripControl"), 0u);
    const uint64_t calls = mc_sim_call_count();
    std::this_thread::sleep_for(300ms);  // nothing more comes
    EXPECT_EQ(mc_sim_call_count(), calls);

    // The simulated robot went 180 x 10 ms forward at 0.5 m/s.
    robot_control::common::ROBOT_COMMON_STATUS_ s;
    ASSERT_TRUE(rcClientInterfaceGetCommonStatus(&s));
    EXPECT_NEAR(s.odometry.point.x, 0.9, 1e-4);
    EXPECT_NEAR(s.odometry.point.y, 0.0, 1e-6);
    EXPECT_NEAR(s.odometry.quaternion.w, 1.0, 1e-6);
}

TEST_F(RobotTest, IdleControllersShutDownAtOnce) {
    // Construction and destruction race the worker's first wait; none may hang.
    for (int i = 0; i < 250; ++i) {
        rc_sdk_controller rc("0.0.0.0");
        if (i >= 200) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(trace().count("Init"), 250u);
}

TEST_F(RobotTest, StartsWithTheLibraryAndGoesOnWhenItsSetUpFails) {
    start({{"MC_SIM_FAIL_INIT", "1"}}).handle_command_list({{"前", 1}});
    ASSERT_TRUE(trace().wait_for_call("GetCommonStatus", 10s).has_value());
    const auto lines = stop();
    for (const char* line : {"processCommands", "enqueued command:", "Robot is not in a valid state to move."})
        EXPECT_EQ(countLines(lines, line), 1u) << line;

    auto all = trace().all();
    ASSERT_GE(all.size(), 2u);
    EXPECT_TRUE(robot_rig::is_call(all[0], "Init"));
    EXPECT_EQ(all[0].str("address"), "0.0.0.0");
    EXPECT_FALSE(all[0].result());
    EXPECT_EQ(trace().count("DirectionMovement"), 0u);
    expectLogged({{err, "rcClientInterfaceInit failed", 1}, {err, "Robot is not in a valid state to move.", 1}});
}

TEST_F(RobotTest, InitSucceedsOnceBeforeAnyOtherCall) {
    { rc_sdk_controller rc("0.0.0.0"); }
    auto all = trace().all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(robot_rig::is_call(all[0], "Init"));
    EXPECT_TRUE(all[0].result());
    expectLogged({{info, "rcClientInterfaceInit success", 1}});
}

TEST_F(RobotTest, LibraryCallsFromThreeThreadsAtOnce) {
    // The worker moves while two other threads read the status and set emoji, as the
    // link thread and the WebSocket thread do.
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}}).handle_command_list({{"前", 2}});
    std::thread link([&] {
        for (int i = 0; i < 20; ++i) rc_->check_robot_state();
    });
    std::thread ws([&] {
        for (int i = 0; i < 20; ++i)
            rcClientInterfaceLightStripControl(robot_control::common::JOY_MODE, "led",
                                               static_cast<_EN_MICRO_EMOJI_CONTROL_CMD>(5 + i % 2), 0, 0);
    });
    link.join();
    ws.join();
    auto t = trace();
    EXPECT_EQ(t.wait_for_count("DirectionMovement", 60, 20s), 60u);
    const auto lines = stop();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("status = ROBOT_COMMON_STATUS{", 0) == 0; }),
              20);
    EXPECT_EQ(t.count("LightStripControl"), 20u);
    EXPECT_EQ(mc_sim_last_emoji(), 6);
    // The robot accepted every movement: a valid heartbeat each time.
    for (const auto& m : t.calls("DirectionMovement")) EXPECT_TRUE(m.result()) << m.line;
}

TEST_F(RobotTest, SleepsLastTheirWholeTimeThroughSignals) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}}).handle_command_list({{"前", 0}, {"趴下", 0}});
    auto t = trace();
    ASSERT_EQ(t.wait_for_count("DirectionMovement", 6, 10s), 6u);
    const long worker = t.calls("DirectionMovement")[0].tid;
    // Interrupt the worker's one-second sleep before lying down, again and again.
    EXPECT_TRUE(waitUntil(
        [&] {
            syscall(SYS_tgkill, getpid(), worker, SIGUSR1);
            return t.count("SetScene") != 0;
        },
        10s, 20ms));
    stop();
    sigaction(SIGUSR1, &old, nullptr);

    auto moves = t.calls("DirectionMovement");
    auto scene = t.calls("SetScene");
    ASSERT_EQ(moves.size(), 6u);
    ASSERT_EQ(scene.size(), 1u);
    EXPECT_GE(ms_between(moves.back(), scene[0]), 1000);
    for (size_t i = 1; i < moves.size(); ++i) EXPECT_GE(moves[i].mono_ns - moves[i - 1].mono_ns, 10'000'000);
}
