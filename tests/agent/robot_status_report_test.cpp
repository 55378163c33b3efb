// The robot status report line and check_robot_state's output.
#include "agent/rc_sdk_controller.h"
#include "tests/agent/robot_test_support.h"

#include <cmath>
#include <cstring>
#include <limits>

using robot_control::common::ROBOT_COMMON_STATUS_;
using namespace robot_test;
using namespace test_support;

namespace {

size_t count_of(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

// The text between "key=" and the next closing bracket of a list.
std::string list_of(const std::string& line, const std::string& key, char close) {
    auto p = line.find(key + "=");
    if (p == std::string::npos) return {};
    auto start = p + key.size() + 2;
    return line.substr(start, line.find(close, start) - start);
}

}  // namespace

TEST(RobotStatusReport, AllZeros) {
    ROBOT_COMMON_STATUS_ s;
    const std::string line = rc_sdk_controller::print_ROBOT_COMMON_STATUS(s);
    EXPECT_EQ(
        line.rfind("ROBOT_COMMON_STATUS{network=0, emergency=0, avoidance=0, heartbeat=0, cur_speed=0.000000, ", 0), 0u)
        << line;
    EXPECT_NE(line.find("charge_status={charge_tile_name=, position_state=0, "), std::string::npos);
    EXPECT_NE(line.find("user_quit_charge_flag=0}, salute_state=0, "), std::string::npos);
    const std::string tail = "cur_weight_load=0.000000, exceeding_weight_load=0}";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(count_of(line, ", }"), 0u);
    EXPECT_EQ(count_of(line, ", )"), 0u);
    EXPECT_EQ(count_of(line, ", ]"), 0u);

    const std::string expected =
        "ROBOT_COMMON_STATUS{network=0, emergency=0, avoidance=0, heartbeat=0, cur_speed=0.000000, "
        "cur_height=0.000000, position=(0.000000, 0.000000, 0.000000, 0.000000), max_height=0.000000, "
        "max_speed=0.000000, cur_scene_switch_state=0, cur_scene=0, driver_enable_state=0, "
        "odometry={twist.linear=(0.000000, 0.000000, 0.000000), twist.angular=(0.000000, 0.000000, 0.000000), "
        "point=(0.000000, 0.000000, 0.000000), quaternion=(0.000000, 0.000000, 0.000000, 0.000000)}, "
        "tip_position_wrt_hip=[" +
        std::string("0.000000") +
        [] {
            std::string r;
            for (int i = 1; i < 18; ++i) r += ", 0.000000";
            return r;
        }() +
        "], ";
    EXPECT_EQ(line.substr(0, expected.size()), expected);
    EXPECT_NE(line.find("target_body_orientation=(0.000000, 0.000000, 0.000000), error_code=0, has_error=0, "
                        "error_wheel=[0, 0, 0, 0, 0], warn_wheel=[0, 0, 0, 0, 0], note_wheel=[0, 0, 0, 0, 0], "
                        "joint_error_wheel=["),
              std::string::npos);
    EXPECT_NE(line.find("battery_info={level=0.000000, state=0}, user_quit_charge_flag=0}, salute_state=0, "
                        "joy_mode=0, eqa_state=0, guardian_switch=0, visual_foothold_switch=0, "
                        "guardian_velocity_decay_ratio={left_ratio=0.000000, front_ratio=0.000000, "
                        "right_ratio=0.000000, rear_ratio=0.000000}, lie_down_adjust=0, "
                        "speed_bar_on_controller=0.000000, calibrate_pos_state=0, self_test_code=0, "
                        "encoder_calibrate_state=0, nav_pos_state=0, nav_init_pos=0, terrain_seg_result=0, "
                        "uwb_state=0, stairs_state=0, weight_load_switch=0, cur_weight_load=0.000000, "
                        "exceeding_weight_load=0}"),
              std::string::npos);
}

TEST(RobotStatusReport, ListsHaveTheirFixedLengths) {
    ROBOT_COMMON_STATUS_ s;
    const std::string line = rc_sdk_controller::print_ROBOT_COMMON_STATUS(s);
    const std::pair<const char*, size_t> lists[] = {{"tip_position_wrt_hip", 18},
                                                    {"vf_planned_tip_position_wrt_base", 18},
                                                    {"touch_detection", 6},
                                                    {"error_wheel", 5},
                                                    {"warn_wheel", 5},
                                                    {"note_wheel", 5},
                                                    {"joint_error_wheel", 20},
                                                    {"joint_warn_wheel", 20},
                                                    {"joint_note_wheel", 20}};
    for (const auto& [key, n] : lists) {
        const std::string body = list_of(line, std::string(", ") + key, ']');
        EXPECT_EQ(count_of(body, ", ") + 1, n) << key << ": " << body;
    }
}

TEST(RobotStatusReport, ValuesAndOrder) {
    ROBOT_COMMON_STATUS_ s;
    s.network = -3;
    s.emergency = true;
    s.heartbeat = -1234567890123LL;
    s.cur_speed = 0.5f;
    s.cur_height = -2.0f;
    s.position[0] = 1.25f;
    s.position[3] = -0.75f;
    s.cur_scene = robot_control::common::SCENE_STAND;
    s.driver_enable_state = 4;
    s.odometry.twist.linear = {0.5f, 0.0f, 0.0f};
    s.odometry.twist.angular = {0.0f, 0.0f, -0.5f};
    s.odometry.point = {1.0f, 2.0f, 3.0f};
    s.odometry.quaternion = {1.0f, 2.0f, 3.0f, 4.0f};
    s.tip_position_wrt_hip[17] = 9.5f;
    s.error_wheel[0] = 4294967295u;
    s.joint_note_wheel[19] = 7u;
    s.charge_status.charge_tile_name = "tile, A}";
    s.charge_status.battery_info = {87.5f, -1};
    s.guardian_velocity_decay_ratio = {0.1f, 0.2f, 0.3f, 0.4f};
    s.cur_weight_load = std::numeric_limits<float>::infinity();
    s.exceeding_weight_load = true;

    const std::string line = rc_sdk_controller::print_ROBOT_COMMON_STATUS(s);
    EXPECT_EQ(line.rfind("ROBOT_COMMON_STATUS{network=-3, emergency=1, avoidance=0, heartbeat=-1234567890123, "
                         "cur_speed=0.500000, cur_height=-2.000000, position=(1.250000, 0.000000, 0.000000, "
                         "-0.750000), ",
                         0),
              0u)
        << line;
    EXPECT_NE(line.find("cur_scene=2, driver_enable_state=4, odometry={twist.linear=(0.500000, 0.000000, 0.000000), "
                        "twist.angular=(0.000000, 0.000000, -0.500000), point=(1.000000, 2.000000, 3.000000), "
                        "quaternion=(4.000000, 1.000000, 2.000000, 3.000000)}, tip_position_wrt_hip=[0.000000"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find(", 9.500000], vf_planned_tip_position_wrt_base=["), std::string::npos);
    EXPECT_NE(line.find("error_wheel=[4294967295, 0, 0, 0, 0]"), std::string::npos);
    EXPECT_NE(line.find(", 7], charge_status={charge_tile_name=tile, A}, position_state=0, "), std::string::npos);
    EXPECT_NE(line.find("battery_info={level=87.500000, state=-1}"), std::string::npos);
    EXPECT_NE(line.find("guardian_velocity_decay_ratio={left_ratio=0.100000, front_ratio=0.200000, "
                        "right_ratio=0.300000, rear_ratio=0.400000}, "),
              std::string::npos);
    EXPECT_NE(line.find("cur_weight_load=inf, exceeding_weight_load=1}"), std::string::npos);
}

TEST_F(RobotTest, CheckRobotStatePrintsTheReport) {
    sim({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}, {"MC_SIM_TILE_NAME", "dock 7"}});
    rc_sdk_controller rc("0.0.0.0");
    FdCapture out(1, path("stdout"), true);
    rc.check_robot_state();
    out.restore();

    auto lines = out.lines();
    ASSERT_EQ(lines.size(), 1u) << out.text();
    EXPECT_EQ(lines[0].rfind("status = ROBOT_COMMON_STATUS{network=1, ", 0), 0u);
    EXPECT_NE(lines[0].find("cur_scene=2, driver_enable_state=1, "), std::string::npos);
    EXPECT_NE(lines[0].find("charge_tile_name=dock 7, "), std::string::npos);

    auto reads = trace().calls("GetCommonStatus");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(lines[0].find("heartbeat=" + std::to_string(reads[0].num("heartbeat")) + ","), std::string::npos);
    EXPECT_EQ(countLog(logs(), spdlog::level::info, lines[0]), 1u);
}

TEST_F(RobotTest, CheckRobotStateHintWhenStatusFails) {
    sim({{"MC_SIM_FAIL_STATUS", "1"}});
    rc_sdk_controller rc("0.0.0.0");
    FdCapture out(1, path("stdout"), true);
    rc.check_robot_state();
    out.restore();

    EXPECT_EQ(out.text(), "can not get robot state, plz check the connection to 0.0.0.0\n");
    auto l = logs();
    EXPECT_EQ(countLog(l, spdlog::level::info, "can not get robot state, plz check the connection to 0.0.0.0"), 1u);
    for (const auto& e : l) EXPECT_EQ(e.text.find("status = "), std::string::npos);
}

TEST_F(RobotTest, CheckRobotStateNamesTheControllersAddress) {
    sim({{"MC_SIM_FAIL_INIT", "1"}});
    rc_sdk_controller rc("10.21.31.1");
    FdCapture out(1, path("stdout"), true);
    rc.check_robot_state();
    out.restore();
    EXPECT_EQ(out.text(), "can not get robot state, plz check the connection to 10.21.31.1\n");
    auto init = trace().calls("Init");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].str("address"), "10.21.31.1");
    EXPECT_FALSE(init[0].result());
    EXPECT_EQ(countLog(logs(), spdlog::level::err, "rcClientInterfaceInit failed"), 1u);
}
