// The robot's motion-control client library (libmc_client.so): the types and calls
// that the agent uses, declared as the agent relies on them.
#pragma once

#include <cstdint>
#include <string>

namespace robot_control {
namespace common {

// First argument of every command call; the agent always passes 2.
enum NAV_OR_JOY_MODE_ : int32_t {
    NAV_MODE = 1,
    JOY_MODE = 2,
};

enum SCENE_TYPE_ : int32_t {
    SCENE_LIE_DOWN = 1,
    SCENE_STAND = 2,
};

struct VECTOR3_ {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

// Velocity: linear x, y, z, then angular x, y, z.
struct ROBOT_TWIST_ {
    VECTOR3_ linear;
    VECTOR3_ angular;
};

struct QUATERNION_ {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float w = 0.0f;
};

struct ODOMETRY_ {
    ROBOT_TWIST_ twist;
    VECTOR3_ point;
    QUATERNION_ quaternion;
};

struct BATTERY_INFO_ {
    float level = 0.0f;
    int32_t state = 0;
};

struct CHARGE_STATUS_ {
    std::string charge_tile_name;
    int32_t position_state = 0;
    int32_t charge_switch_state = 0;
    bool charge_succeeded = false;
    BATTERY_INFO_ battery_info;
    bool user_quit_charge_flag = false;
};

struct GUARDIAN_VELOCITY_DECAY_RATIO_ {
    float left_ratio = 0.0f;
    float front_ratio = 0.0f;
    float right_ratio = 0.0f;
    float rear_ratio = 0.0f;
};

// Filled by rcClientInterfaceGetCommonStatus. A default-constructed record is all
// zeros: driver_enable_state 0 is neither "enabled" (1) nor "disabled" (4).
struct ROBOT_COMMON_STATUS_ {
    int32_t network = 0;
    bool emergency = false;
    bool avoidance = false;
    int64_t heartbeat = 0;
    float cur_speed = 0.0f;
    float cur_height = 0.0f;
    float position[4] = {};
    float max_height = 0.0f;
    float max_speed = 0.0f;
    int32_t cur_scene_switch_state = 0;
    SCENE_TYPE_ cur_scene = static_cast<SCENE_TYPE_>(0);
    int32_t driver_enable_state = 0;  // 1 drive enabled, 4 drive disabled
    ODOMETRY_ odometry;
    float tip_position_wrt_hip[18] = {};
    float vf_planned_tip_position_wrt_base[18] = {};
    float touch_detection[6] = {};
    float target_body_orientation[3] = {};
    int32_t error_code = 0;
    bool has_error = false;
    uint32_t error_wheel[5] = {};
    uint32_t warn_wheel[5] = {};
    uint32_t note_wheel[5] = {};
    uint32_t joint_error_wheel[20] = {};
    uint32_t joint_warn_wheel[20] = {};
    uint32_t joint_note_wheel[20] = {};
    CHARGE_STATUS_ charge_status;
    bool salute_state = false;
    int32_t joy_mode = 0;
    int32_t eqa_state = 0;
    bool guardian_switch = false;
    bool visual_foothold_switch = false;
    GUARDIAN_VELOCITY_DECAY_RATIO_ guardian_velocity_decay_ratio;
    int32_t lie_down_adjust = 0;
    float speed_bar_on_controller = 0.0f;
    int32_t calibrate_pos_state = 0;
    int32_t self_test_code = 0;
    int32_t encoder_calibrate_state = 0;
    bool nav_pos_state = false;
    bool nav_init_pos = false;
    int32_t terrain_seg_result = 0;
    bool uwb_state = false;
    int32_t stairs_state = 0;
    bool weight_load_switch = false;
    float cur_weight_load = 0.0f;
    bool exceeding_weight_load = false;
};

}  // namespace common
}  // namespace robot_control

// LED-strip emoji states; the agent hands its state over by numeric value.
enum _EN_MICRO_EMOJI_CONTROL_CMD : int32_t {
    MICRO_EMOJI_0 = 0,
    MICRO_EMOJI_1 = 1,
    MICRO_EMOJI_2 = 2,
    MICRO_EMOJI_3 = 3,
    MICRO_EMOJI_GOODBYE = 4,
    MICRO_EMOJI_SPEAKING = 5,
    MICRO_EMOJI_WAG_TAIL = 6,
    MICRO_EMOJI_AWAKE = 7,
    MICRO_EMOJI_DEFAULT = 8,
    MICRO_EMOJI_9 = 9,
    MICRO_EMOJI_10 = 10,
    MICRO_EMOJI_11 = 11,
};

// Every call returns true on success.
bool rcClientInterfaceInit(std::string address);
bool rcClientInterfaceGetCommonStatus(robot_control::common::ROBOT_COMMON_STATUS_* status);
bool rcClientInterfaceDriverEnable(robot_control::common::NAV_OR_JOY_MODE_ mode, bool enable);
bool rcClientInterfaceSetScene(robot_control::common::NAV_OR_JOY_MODE_ mode, robot_control::common::SCENE_TYPE_ scene);
bool rcClientInterfaceDirectionMovement(robot_control::common::NAV_OR_JOY_MODE_ mode,
                                        robot_control::common::ROBOT_TWIST_ twist, long heartbeat);
bool rcClientInterfaceDemoControl(robot_control::common::NAV_OR_JOY_MODE_ mode, int action, bool flag);
bool rcClientInterfaceSpeedAdjust(robot_control::common::NAV_OR_JOY_MODE_ mode, int speed);
bool rcClientInterfaceSetGuardianSwitch(robot_control::common::NAV_OR_JOY_MODE_ mode, bool on);
bool rcClientInterfaceLightStripControl(robot_control::common::NAV_OR_JOY_MODE_ mode, std::string strip,
                                        _EN_MICRO_EMOJI_CONTROL_CMD emoji, int arg1, int arg2);
