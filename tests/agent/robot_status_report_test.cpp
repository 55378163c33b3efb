// The robot status report line and check_robot_state's output.
#include "tests/agent/robot_test_support.h"

#include <limits>

using robot_control::common::ROBOT_COMMON_STATUS_;
using namespace robot_test;
using namespace test_support;

namespace {

// `text` with each F spelled out as 0.000000 and each "v*n" as n comma-separated copies of v.
std::string expand(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const std::string v = text[i] == 'F' ? "0.000000" : text.substr(i, 1);
        size_t n = 1;
        if (text.compare(i + 1, 1, "*") == 0) {
            size_t digits = 0;
            n = std::stoul(text.substr(i + 2), &digits);
            i += 1 + digits;
        }
        for (size_t k = 0; k < n; ++k) out += (k ? ", " : "") + v;
    }
    return out;
}

// A record with values in many fields, some at their limits.
ROBOT_COMMON_STATUS_ filled() {
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
    return s;
}

}  // namespace

TEST(RobotStatusReport, AllZeros) {
    EXPECT_EQ(rc_sdk_controller::print_ROBOT_COMMON_STATUS(ROBOT_COMMON_STATUS_{}),
              expand("ROBOT_COMMON_STATUS{network=0, emergency=0, avoidance=0, heartbeat=0, cur_speed=F, "
                     "cur_height=F, position=(F*4), max_height=F, max_speed=F, cur_scene_switch_state=0, cur_scene=0, "
                     "driver_enable_state=0, odometry={twist.linear=(F*3), twist.angular=(F*3), point=(F*3), "
                     "quaternion=(F*4)}, tip_position_wrt_hip=[F*18], vf_planned_tip_position_wrt_base=[F*18], "
                     "touch_detection=[F*6], target_body_orientation=(F*3), error_code=0, has_error=0, "
                     "error_wheel=[0*5], warn_wheel=[0*5], note_wheel=[0*5], joint_error_wheel=[0*20], "
                     "joint_warn_wheel=[0*20], joint_note_wheel=[0*20], charge_status={charge_tile_name=, "
                     "position_state=0, charge_switch_state=0, charge_succeeded=0, battery_info={level=F, state=0}, "
                     "user_quit_charge_flag=0}, salute_state=0, joy_mode=0, eqa_state=0, guardian_switch=0, "
                     "visual_foothold_switch=0, guardian_velocity_decay_ratio={left_ratio=F, front_ratio=F, "
                     "right_ratio=F, rear_ratio=F}, lie_down_adjust=0, speed_bar_on_controller=F, "
                     "calibrate_pos_state=0, self_test_code=0, encoder_calibrate_state=0, nav_pos_state=0, "
                     "nav_init_pos=0, terrain_seg_result=0, uwb_state=0, stairs_state=0, weight_load_switch=0, "
                     "cur_weight_load=F, exceeding_weight_load=0}"));
}

TEST(RobotStatusReport, ListsHaveTheirFixedLengths) {
    const std::string line = rc_sdk_controller::print_ROBOT_COMMON_STATUS(filled());
    const std::pair<std::string, size_t> lists[] = {{"tip_position_wrt_hip", 18},
                                                    {"vf_planned_tip_position_wrt_base", 18},
                                                    {"touch_detection", 6},
                                                    {"error_wheel", 5},
                                                    {"warn_wheel", 5},
                                                    {"note_wheel", 5},
                                                    {"joint_error_wheel", 20},
                                                    {"joint_warn_wheel", 20},
                                                    {"joint_note_wheel", 20}};
    for (const auto& [key, n] : lists) {
        const size_t at = line.find(", " + key + "=[");
        ASSERT_NE(at, std::string::npos) << key;
        const size_t start = at + key.size() + 4;
        const std::string body = line.substr(start, line.find(']', start) - start);
        EXPECT_EQ(countOf(body, ", ") + 1, n) << key << ": " << body;
    }
}

TEST(RobotStatusReport, ValuesAndOrder) {
    // In this order, the first at the start.
    const std::string line = rc_sdk_controller::print_ROBOT_COMMON_STATUS(filled());
    size_t at = 0;
    for (const char* part :
         {"ROBOT_COMMON_STATUS{network=-3, emergency=1, avoidance=0, heartbeat=-1234567890123, cur_speed=0.500000, "
          "cur_height=-2.000000, position=(1.250000, 0.000000, 0.000000, -0.750000), ",
          "cur_scene=2, driver_enable_state=4, odometry={twist.linear=(0.500000, 0.000000, 0.000000), "
          "twist.angular=(0.000000, 0.000000, -0.500000), point=(1.000000, 2.000000, 3.000000), "
          "quaternion=(4.000000, 1.000000, 2.000000, 3.000000)}, tip_position_wrt_hip=[0.000000",
          ", 9.500000], vf_planned_tip_position_wrt_base=[", "error_wheel=[4294967295, 0, 0, 0, 0]",
          ", 7], charge_status={charge_tile_name=tile, A}, position_state=0, ",
          "battery_info={level=87.500000, state=-1}",
          "guardian_velocity_decay_ratio={left_ratio=0.100000, front_ratio=0.200000, "
          "right_ratio=0.300000, rear_ratio=0.400000}, ",
          "cur_weight_load=inf, exceeding_weight_load=1}"}) {
        at = line.find(part, at);
        ASSERT_NE(at, std::string::npos) << part << "\nin " << line;
    }
    EXPECT_EQ(line.find("ROBOT_COMMON_STATUS{network=-3, "), 0u);
}

TEST_F(RobotTest, CheckRobotStatePrintsTheReport) {
    start({{"MC_SIM_DRIVE", "1"}, {"MC_SIM_SCENE", "2"}, {"MC_SIM_TILE_NAME", "dock 7"}}).check_robot_state();
    const auto lines = stop();
    ASSERT_EQ(lines.size(), 1u) << out_->text();
    EXPECT_EQ(lines[0].rfind("status = ROBOT_COMMON_STATUS{network=1, ", 0), 0u);
    EXPECT_NE(lines[0].find("cur_scene=2, driver_enable_state=1, "), std::string::npos);
    EXPECT_NE(lines[0].find("charge_tile_name=dock 7, "), std::string::npos);

    auto reads = trace().calls("GetCommonStatus");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(lines[0].find("heartbeat=" + std::to_string(reads[0].num("heartbeat")) + ","), std::string::npos);
    expectLogged({{info, lines[0], 1}});
}

TEST_F(RobotTest, CheckRobotStateHintWhenStatusFails) {
    start({{"MC_SIM_FAIL_STATUS", "1"}}).check_robot_state();
    EXPECT_EQ(out_->take(), "can not get robot state, plz check the connection to 0.0.0.0\n");
    expectLogged({{info, "can not get robot state, plz check the connection to 0.0.0.0", 1}});
    for (const auto& e : logs()) EXPECT_EQ(e.text.find("status = "), std::string::npos);
}

TEST_F(RobotTest, CheckRobotStateNamesTheControllersAddress) {
    start({{"MC_SIM_FAIL_INIT", "1"}}, "10.21.31.1").check_robot_state();
    EXPECT_EQ(out_->take(), "can not get robot state, plz check the connection to 10.21.31.1\n");
    auto init = trace().calls("Init");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].str("address"), "10.21.31.1");
    EXPECT_FALSE(init[0].result());
    expectLogged({{err, "rcClientInterfaceInit failed", 1}});
}
