// Posture steps: drive and scene requests with their status polls, time-outs and failures,
// and the posture words that run them.
#include "tests/agent/robot_test_support.h"

#include <algorithm>
#include <iterator>
#include <thread>

using namespace robot_test;
using namespace test_support;
using robot_control::common::SCENE_LIE_DOWN;
using robot_control::common::SCENE_STAND;

namespace {

std::vector<TraceCall> of_thread(const std::vector<TraceCall>& calls, long tid) {
    std::vector<TraceCall> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [&](const TraceCall& c) { return c.tid == tid; });
    return out;
}

// Each call as its short name and the values it requests, e.g. "SetScene 2"; only the
// requests (no Init, no status reads) with `requests_only`.
std::vector<std::string> names(const std::vector<TraceCall>& calls, bool requests_only = false) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        if (requests_only && (robot_rig::is_call(c, "GetCommonStatus") || robot_rig::is_call(c, "Init"))) continue;
        out.push_back(c.name.substr(std::string("rcClientInterface").size()));
        for (const char* k : {"enable", "speed", "on", "scene"})
            if (c.has(k)) out.back() += " " + std::to_string(c.num(k));
    }
    return out;
}

// Where `c` stands in `all`.
std::vector<TraceCall>::const_iterator position_of(const std::vector<TraceCall>& all, const TraceCall& c) {
    return std::find_if(all.begin(), all.end(), [&](const TraceCall& x) { return x.line == c.line; });
}

}  // namespace

TEST_F(RobotTest, DriverAlreadyInTheRequestedStateMakesNoRequest) {
    for (const auto& [state, enable] : {std::pair{"1", true}, std::pair{"4", false}}) {
        start({{"MC_SIM_DRIVE", state}});
        rc_sdk_controller::driver_enable(enable);
    }
    EXPECT_EQ(names(trace().all()), (std::vector<std::string>{"Init", "GetCommonStatus", "Init", "GetCommonStatus"}));
    expectLogged({{info, "Driver already enabled", 1}, {info, "Driver already disabled", 1}});
}

TEST_F(RobotTest, DriveAndSceneChangesArePolledUntilConfirmed) {
    start({{"MC_SIM_DRIVE", "4"}, {"MC_SIM_DRIVE_DELAY_MS", "300"}, {"MC_SIM_SCENE_DELAY_MS", "300"}});
    rc_sdk_controller::driver_enable(true);
    rc_sdk_controller::set_scene(SCENE_STAND);
    rc_sdk_controller::set_scene(SCENE_STAND);  // asked again although already standing
    rc_sdk_controller::driver_enable(false);

    auto all = trace().all();
    ASSERT_EQ(names(all, true),
              (std::vector<std::string>{"DriverEnable 1", "SetScene 2", "SetScene 2", "DriverEnable 0"}));
    auto enables = only(all, "DriverEnable");
    auto scenes = only(all, "SetScene");
    EXPECT_EQ(enables[0].num("mode"), 2);
    EXPECT_EQ(scenes[0].num("mode"), 2);

    // After each request: reads 100 ms apart until the state shows, at once when it was there,
    // else 300 ms after the request (the trace stamps it a little later), however late each read.
    auto check = [&](const TraceCall& request, const char* key, long long want, bool delayed) {
        std::vector<TraceCall> reads;
        for (auto it = position_of(all, request) + 1; it != all.end() && robot_rig::is_call(*it, "GetCommonStatus");
             ++it) {
            reads.push_back(*it);
            if (it->num(key) == want) break;
        }
        ASSERT_GE(reads.size(), 1u) << request.line;
        for (size_t i = 0; i + 1 < reads.size(); ++i) {
            EXPECT_GE(reads[i + 1].mono_ns - reads[i].mono_ns, 100'000'000);
            EXPECT_NE(reads[i].num(key), want);
        }
        EXPECT_EQ(reads.back().num(key), want);
        if (delayed) {
            EXPECT_GE(reads.size(), 2u) << request.line;
            EXPECT_GE(reads.back().mono_ns - request.mono_ns, 290'000'000) << request.line;
        } else {
            EXPECT_EQ(reads.size(), 1u) << request.line;
        }
    };
    check(enables[0], "driver_enable_state", 1, true);
    check(scenes[0], "cur_scene", 2, true);
    check(scenes[1], "cur_scene", 2, false);
    check(enables[1], "driver_enable_state", 4, true);

    expectLogged({{info, "Attempting to enable driver", 1},
                  {info, "Driver successfully enabled", 1},
                  {info, "Attempting to set scene to 2", 2},
                  {info, "Scene successfully changed to 2", 2},
                  {info, "Attempting to disable driver", 1},
                  {info, "Driver successfully disabled", 1}});
}

TEST_F(RobotTest, PollsGiveUpAfterOneHundredReads) {
    // Both time-outs at once, from two threads, as each takes about ten seconds.
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}, {"MC_SIM_DRIVE_STUCK", "1"}, {"MC_SIM_SCENE_STUCK", "1"}});
    std::thread drive([] { rc_sdk_controller::driver_enable(false); });
    std::thread scene([] { rc_sdk_controller::set_scene(SCENE_LIE_DOWN); });
    drive.join();
    scene.join();

    auto all = trace().all();
    auto enable = only(all, "DriverEnable");
    auto set = only(all, "SetScene");
    ASSERT_EQ(enable.size(), 1u);
    ASSERT_EQ(set.size(), 1u);
    auto drive_calls = of_thread(all, enable[0].tid);
    auto scene_calls = of_thread(all, set[0].tid);
    // Drive: one read before the request, then 100 polls.
    ASSERT_EQ(drive_calls.size(), 102u);
    EXPECT_EQ(only(drive_calls, "GetCommonStatus").size(), 101u);
    EXPECT_TRUE(robot_rig::is_call(drive_calls[1], "DriverEnable"));
    ASSERT_EQ(scene_calls.size(), 101u);
    EXPECT_EQ(only(scene_calls, "GetCommonStatus").size(), 100u);
    EXPECT_TRUE(robot_rig::is_call(scene_calls[0], "SetScene"));
    EXPECT_GE(ms_between(drive_calls[2], drive_calls.back()), 99 * 100);
    EXPECT_GE(ms_between(scene_calls[1], scene_calls.back()), 99 * 100);

    expectLogged({{err, "Timeout waiting for driver to be disabled", 1},
                  {err, "Timeout waiting for scene change to 1", 1},
                  {info, "Driver successfully disabled", 0}});
}

TEST_F(RobotTest, RefusedRequestsEndTheStep) {
    start({{"MC_SIM_REFUSE_DRIVE", "1"}, {"MC_SIM_REFUSE_SCENE", "1"}});
    rc_sdk_controller::driver_enable(true);
    rc_sdk_controller::set_scene(SCENE_STAND);
    EXPECT_EQ(names(trace().all()),
              (std::vector<std::string>{"Init", "GetCommonStatus", "DriverEnable 1", "SetScene 2"}));
    expectLogged({{err, "Failed to enable driver", 1},
                  {err, "Failed to set scene to 2", 1},
                  {info, "Attempting to enable driver", 0}});
}

TEST_F(RobotTest, FailedStatusReadsEndTheStepWithoutRetry) {
    start({{"MC_SIM_FAIL_STATUS", "1"}});
    rc_sdk_controller::driver_enable(true);
    rc_sdk_controller::set_scene(SCENE_LIE_DOWN);
    ::unsetenv("MC_SIM_FAIL_STATUS");
    start({{"MC_SIM_FAIL_STATUS_AFTER", "1"}});
    rc_sdk_controller::driver_enable(true);  // first read passes, the first poll fails
    auto all = trace().all();
    EXPECT_EQ(names(all), (std::vector<std::string>{"Init", "GetCommonStatus", "SetScene 1", "GetCommonStatus", "Init",
                                                    "GetCommonStatus", "DriverEnable 1", "GetCommonStatus"}));
    EXPECT_FALSE(all[1].result());
    EXPECT_FALSE(all[3].result());
    EXPECT_TRUE(all[5].result());
    EXPECT_FALSE(all[7].result());
    expectLogged({{err, "Failed to get robot status", 3}});
}

TEST_F(RobotTest, PostureWordsRunTheirStepsAfterASecond) {
    start({{"MC_SIM_DRIVE", "4"}, {"MC_SIM_SCENE", "1"}})
        .handle_command_list({{"起立", 7}, {"趴下", 0}, {"停", 0}, {"启动", 0}});
    auto t = trace();
    ASSERT_EQ(t.wait_for_count("DriverEnable", 3, 30s), 3u);
    ASSERT_TRUE(t.wait_for_call("GetCommonStatus", 10s, [&](const TraceCall& c) {
        return c.mono_ns > t.calls("DriverEnable").back().mono_ns && c.num("driver_enable_state") == 1;
    }));
    const auto lines = stop();

    auto all = t.all();
    ASSERT_EQ(names(all, true),
              (std::vector<std::string>{"DriverEnable 1", "SpeedAdjust 50", "SetGuardianSwitch 1", "SetScene 2",
                                        "SetScene 1", "DriverEnable 0", "DriverEnable 1"}));
    for (const auto& c : all) EXPECT_TRUE(c.result()) << c.line;

    // Each task starts with its one-second sleep after the one before it has ended.
    EXPECT_GE(ms_between(all.front(), only(all, "GetCommonStatus").front()), 1000);
    auto scenes = t.calls("SetScene");
    auto enables = t.calls("DriverEnable");
    // The call just before `c` (`c` itself when none came before it).
    const auto before = [&](const TraceCall& c) {
        const auto it = position_of(all, c);
        return it == all.begin() ? c : *(it - 1);
    };
    EXPECT_GE(ms_between(before(scenes[1]), scenes[1]), 1000);
    const TraceCall pre_read = before(enables[1]);  // 停 reads the status first
    EXPECT_TRUE(robot_rig::is_call(pre_read, "GetCommonStatus"));
    EXPECT_GE(ms_between(before(pre_read), pre_read), 1000);

    EXPECT_EQ(countLines(lines, "processCommands"), 4u);
    EXPECT_EQ(countLines(lines, "Max Speed Set Successfully."), 1u);
    EXPECT_EQ(countLines(lines, "Guardian Switch Set Successfully."), 1u);
    expectLogged({{info, "Scene successfully changed to 2", 1},
                  {info, "Scene successfully changed to 1", 1},
                  {info, "Driver successfully disabled", 1}});
}

TEST_F(RobotTest, StandUpGoesThroughEveryStepWhateverEachAchieves) {
    start({{"MC_SIM_REFUSE_DRIVE", "1"}, {"MC_SIM_REFUSE_SPEED", "1"}, {"MC_SIM_REFUSE_GUARDIAN", "1"}})
        .handle_command_list({{"起立", 0}});
    ASSERT_TRUE(trace().wait_for_call("SetScene", 10s).has_value());
    const auto lines = stop();
    EXPECT_EQ(names(trace().all()), (std::vector<std::string>{"Init", "GetCommonStatus", "DriverEnable 1",
                                                              "SpeedAdjust 50", "SetGuardianSwitch 1", "SetScene 2"}));
    EXPECT_EQ(countLines(lines, "Failed to Set Max Speed."), 1u);
    EXPECT_EQ(countLines(lines, "Failed to Set Guardian Switch."), 1u);
    // The robot will not stand without its drive.
    expectLogged({{err, "Failed to enable driver", 1}, {err, "Failed to set scene to 2", 1}});
}
