#include "agent/rc_sdk_controller.h"

#include "common/console_line.h"
#include "common/log_utils.h"
#include "common/sleep.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <limits>

using robot_control::common::JOY_MODE;
using robot_control::common::ROBOT_COMMON_STATUS_;
using robot_control::common::ROBOT_TWIST_;
using robot_control::common::SCENE_TYPE_;

namespace {

constexpr int32_t kDriveEnabled = 1;
constexpr int32_t kDriveDisabled = 4;
constexpr int kPolls = 100;
constexpr std::chrono::milliseconds kPollInterval{100};
constexpr std::chrono::milliseconds kMoveInterval{10};
constexpr std::chrono::milliseconds kBeforeAction{1000};
constexpr std::chrono::milliseconds kAfterDemo{4000};
constexpr int kWagTailEmoji = 6;

// A record the library did not fill stays default: drive state 0, heartbeat 0.
bool read_status(ROBOT_COMMON_STATUS_& status) {
    status = ROBOT_COMMON_STATUS_{};
    if (rcClientInterfaceGetCommonStatus(&status)) return true;
    status = ROBOT_COMMON_STATUS_{};
    return false;
}

// Reads the status, logging a failure.
bool read_status_or_log(ROBOT_COMMON_STATUS_& status) {
    if (read_status(status)) return true;
    logF->logger->error("Failed to get robot status");
    return false;
}

enum class poll_result { reached, read_failed, timed_out };

// Polls the status every 100 ms, up to 100 times, until `reached` holds for it.
template <typename Reached>
poll_result poll_status(Reached reached) {
    ROBOT_COMMON_STATUS_ status;
    for (int i = 0; i < kPolls; ++i) {
        if (!read_status_or_log(status)) return poll_result::read_failed;
        if (reached(status)) return poll_result::reached;
        velantis::sleepFor(kPollInterval);
    }
    return poll_result::timed_out;
}

void demo_action(int action) {
    velantis::sleepFor(kBeforeAction);
    rcClientInterfaceDemoControl(JOY_MODE, action, false);
    velantis::sleepFor(kAfterDemo);
}

void run_movement(const ROBOT_TWIST_& twist, int duration) {
    velantis::consoleLine(std::cout, "enqueued command:");
    ROBOT_COMMON_STATUS_ status;
    read_status(status);
    if (status.driver_enable_state != kDriveEnabled) {
        logF->logger->error("Robot is not in a valid state to move.");
        velantis::consoleLine(std::cout, "Robot is not in a valid state to move.");
        return;
    }
    const int steps = duration / 10;
    velantis::consoleLine(std::cout, "duration / 10 = " + std::to_string(steps));
    for (int i = 0; i < steps; ++i) {
        ROBOT_COMMON_STATUS_ fresh;
        read_status(fresh);
        rcClientInterfaceDirectionMovement(JOY_MODE, twist, static_cast<long>(fresh.heartbeat));
        velantis::sleepFor(kMoveInterval);
    }
}

ROBOT_TWIST_ twist_of(float lx, float ly, float az) {
    ROBOT_TWIST_ t{};
    t.linear.x = lx;
    t.linear.y = ly;
    t.angular.z = az;
    return t;
}

bool fits_int32(double ms) {
    return ms >= static_cast<double>(std::numeric_limits<int32_t>::min()) &&
           ms < static_cast<double>(std::numeric_limits<int32_t>::max()) + 1.0;
}

// Forward, back and sideways: 60 ms for a number of 1 or less, else 600 ms per step after the first.
bool linear_duration(int n, int& ms) {
    if (n <= 1) {
        ms = 60;
        return true;
    }
    const double d = (static_cast<double>(n) - 1.0) * 600.0;
    if (!fits_int32(d)) return false;
    ms = static_cast<int>(d);
    return true;
}

// Turning: one second plus one second per 30 degrees, in single precision.
bool turn_duration(int n, int& ms) {
    const float d = (static_cast<float>(n) / 30.0f + 1.0f) * 1000.0f;
    if (!fits_int32(static_cast<double>(d))) return false;
    ms = static_cast<int>(d);
    return true;
}

void start_task() {
    velantis::sleepFor(kBeforeAction);
    rc_sdk_controller::driver_enable(true);
}

void stand_up_task() {
    velantis::sleepFor(kBeforeAction);
    rc_sdk_controller::driver_enable(true);
    velantis::consoleLine(std::cout, rcClientInterfaceSpeedAdjust(JOY_MODE, 50) ? "Max Speed Set Successfully."
                                                                                : "Failed to Set Max Speed.");
    velantis::consoleLine(std::cout, rcClientInterfaceSetGuardianSwitch(JOY_MODE, true)
                                         ? "Guardian Switch Set Successfully."
                                         : "Failed to Set Guardian Switch.");
    rc_sdk_controller::set_scene(robot_control::common::SCENE_STAND);
}

void lie_down_task() {
    velantis::sleepFor(kBeforeAction);
    rc_sdk_controller::set_scene(robot_control::common::SCENE_LIE_DOWN);
}

void stop_task() {
    velantis::sleepFor(kBeforeAction);
    rc_sdk_controller::driver_enable(false);
}

void shake_head_task() { demo_action(2); }
void wag_tail_task() { demo_action(3); }
void greet_task() { demo_action(4); }

// What one command word does: a movement (its duration rule and velocity) or a task of its
// own, optionally with an emoji shown once the task is queued.
struct word_action {
    std::string word;
    void (*task)() = nullptr;
    bool (*duration)(int n, int& ms) = nullptr;
    ROBOT_TWIST_ twist{};
    int emoji = 0;  // 0: none
};

word_action task_word(const char* word, void (*task)(), int emoji = 0) {
    word_action a;
    a.word = word;
    a.task = task;
    a.emoji = emoji;
    return a;
}

word_action movement_word(const char* word, bool (*duration)(int, int&), ROBOT_TWIST_ twist) {
    word_action a;
    a.word = word;
    a.duration = duration;
    a.twist = twist;
    return a;
}

// The command words, in the order they are tested; at most one matches.
const std::vector<word_action>& command_words() {
    static const std::vector<word_action> words{
        task_word("启动", start_task),
        task_word("起立", stand_up_task),
        task_word("趴下", lie_down_task),
        task_word("停", stop_task),
        movement_word("前", linear_duration, twist_of(0.5f, 0.0f, 0.0f)),
        movement_word("后", linear_duration, twist_of(-0.5f, 0.0f, 0.0f)),
        movement_word("左移", linear_duration, twist_of(0.0f, 0.5f, 0.0f)),
        movement_word("右移", linear_duration, twist_of(0.0f, -0.5f, 0.0f)),
        movement_word("左转", turn_duration, twist_of(0.0f, 0.0f, 0.5f)),
        movement_word("右转", turn_duration, twist_of(0.0f, 0.0f, -0.5f)),
        task_word("摇头", shake_head_task),
        task_word("摆尾", wag_tail_task, kWagTailEmoji),
        task_word("招呼", greet_task),
    };
    return words;
}

const word_action* find_word(const std::string& word) {
    for (const auto& action : command_words()) {
        if (action.word == word) return &action;
    }
    return nullptr;
}

std::string f32(float v) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%f", static_cast<double>(v));
    return std::string(buf, n > 0 ? std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1) : 0);
}

std::string b01(bool v) { return v ? "1" : "0"; }

template <typename T, size_t N, typename F>
std::string list(const T (&values)[N], const char* open, const char* close, F fmt) {
    std::string out = open;
    for (size_t i = 0; i < N; ++i) {
        if (i) out += ", ";
        out += fmt(values[i]);
    }
    out += close;
    return out;
}

template <size_t N>
std::string floats(const float (&values)[N], const char* open, const char* close) {
    return list(values, open, close, f32);
}

template <size_t N>
std::string wheel(const uint32_t (&values)[N]) {
    return list(values, "[", "]", [](uint32_t v) { return std::to_string(v); });
}

std::string vec3(const robot_control::common::VECTOR3_& v) {
    const float values[3] = {v.x, v.y, v.z};
    return floats(values, "(", ")");
}

}  // namespace

rc_sdk_controller::rc_sdk_controller(const std::string& address)
    : address(address), running(true), worker_thread(&rc_sdk_controller::processCommands, this) {
    if (rcClientInterfaceInit(std::string(this->address)))
        logF->logger->info("rcClientInterfaceInit success");
    else
        logF->logger->error("rcClientInterfaceInit failed");
}

rc_sdk_controller::~rc_sdk_controller() {
    {
        // Cleared under the lock: a worker about to wait sees it before it sleeps.
        std::lock_guard<std::mutex> lock(queue_mutex);
        running = false;
    }
    queue_cv.notify_all();
    if (worker_thread.joinable()) worker_thread.join();
}

bool rc_sdk_controller::enqueue(std::function<void()> task, const std::function<void()>& announce) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        // Tasks run for seconds each: a cloud that sends more than the robot could ever do
        // must not grow the queue without end.
        if (task_queue.size() >= kMaxQueuedTasks) {
            if (!queue_full) {
                queue_full = true;
                logF->logger->warn("Robot task queue is full ({} tasks waiting), commands dropped", kMaxQueuedTasks);
            }
            return false;
        }
        // Warn again only once the worker has worked the queue down to half: a flood that
        // outpaces the robot gets one line per backlog, not one per task the worker takes.
        if (task_queue.size() <= kMaxQueuedTasks / 2) queue_full = false;
        if (announce) announce();
        task_queue.push_back(std::move(task));
    }
    queue_cv.notify_one();
    return true;
}

void rc_sdk_controller::processCommands() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(queue_mutex);
            queue_cv.wait(lock, [this] { return !running || !task_queue.empty(); });
            if (!running) return;
            task = std::move(task_queue.front());
            task_queue.pop_front();
        }
        velantis::consoleLine(std::cout, "processCommands");
        // A task that throws must not end the process; the next task still runs.
        try {
            task();
        } catch (const std::exception& e) {
            logF->logger->error("Robot task failed: {}", e.what());
        } catch (...) {
            logF->logger->error("Robot task failed");
        }
    }
}

void rc_sdk_controller::driver_enable(bool enable) {
    const char* word = enable ? "enabled" : "disabled";
    const char* verb = enable ? "enable" : "disable";
    const int32_t wanted = enable ? kDriveEnabled : kDriveDisabled;

    ROBOT_COMMON_STATUS_ status;
    if (!read_status_or_log(status)) return;
    if (status.driver_enable_state == wanted) {
        logF->logger->info("Driver already {}", word);
        return;
    }
    if (!rcClientInterfaceDriverEnable(JOY_MODE, enable)) {
        logF->logger->error("Failed to {} driver", verb);
        return;
    }
    logF->logger->info("Attempting to {} driver", verb);
    const auto result = poll_status(
        [wanted](const ROBOT_COMMON_STATUS_& s) { return s.driver_enable_state == wanted; });
    if (result == poll_result::reached) {
        logF->logger->info("Driver successfully {}", word);
    } else if (result == poll_result::timed_out) {
        logF->logger->error("Timeout waiting for driver to be {}", word);
    }
}

void rc_sdk_controller::set_scene(SCENE_TYPE_ scene) {
    const int value = static_cast<int>(scene);
    if (!rcClientInterfaceSetScene(JOY_MODE, scene)) {
        logF->logger->error("Failed to set scene to {}", value);
        return;
    }
    logF->logger->info("Attempting to set scene to {}", value);
    const auto result = poll_status([scene](const ROBOT_COMMON_STATUS_& s) { return s.cur_scene == scene; });
    if (result == poll_result::reached) {
        logF->logger->info("Scene successfully changed to {}", value);
    } else if (result == poll_result::timed_out) {
        logF->logger->error("Timeout waiting for scene change to {}", value);
    }
}

void rc_sdk_controller::show_emoji(int state) {
    logF->logger->info("Setting emoji state: {}", state);
    rcClientInterfaceLightStripControl(JOY_MODE, "led", static_cast<_EN_MICRO_EMOJI_CONTROL_CMD>(state), 0, 0);
}

void rc_sdk_controller::handle_movement_command(ROBOT_TWIST_ twist, int duration) {
    enqueue([twist, duration] { run_movement(twist, duration); },
            [duration] { logF->logger->info("Handling movement command with direction:, duration: {}", duration); });
}

void rc_sdk_controller::handle_command_list(const std::vector<std::pair<std::string, int>>& commands) {
    for (const auto& [word, n] : commands) {
        const word_action* action = find_word(word);
        if (action == nullptr) continue;  // not a command word: passed over
        if (action->duration == nullptr) {
            if (enqueue(action->task) && action->emoji != 0) show_emoji(action->emoji);
            continue;
        }
        int duration = 0;
        if (!action->duration(n, duration)) {
            // Out of the millisecond range: refuse rather than move for an unbounded time.
            logF->logger->error("Movement duration out of range for {} {}, command ignored", word, n);
            continue;
        }
        handle_movement_command(action->twist, duration);
    }
}

void rc_sdk_controller::check_robot_state() {
    ROBOT_COMMON_STATUS_ status;
    if (!rcClientInterfaceGetCommonStatus(&status)) {
        velantis::consoleLine(std::cout, "can not get robot state, plz check the connection to " + address);
        logF->logger->info("can not get robot state, plz check the connection to {}", address);
        return;
    }
    const std::string report = print_ROBOT_COMMON_STATUS(status);
    velantis::consoleLine(std::cout, "status = " + report);
    logF->logger->info("status = {}", report);
}

std::string rc_sdk_controller::print_ROBOT_COMMON_STATUS(const ROBOT_COMMON_STATUS_& s) {
    const auto i32 = [](int32_t v) { return std::to_string(v); };
    std::string o = "ROBOT_COMMON_STATUS{";
    o += "network=" + i32(s.network);
    o += ", emergency=" + b01(s.emergency);
    o += ", avoidance=" + b01(s.avoidance);
    o += ", heartbeat=" + std::to_string(static_cast<long long>(s.heartbeat));
    o += ", cur_speed=" + f32(s.cur_speed);
    o += ", cur_height=" + f32(s.cur_height);
    o += ", position=" + floats(s.position, "(", ")");
    o += ", max_height=" + f32(s.max_height);
    o += ", max_speed=" + f32(s.max_speed);
    o += ", cur_scene_switch_state=" + i32(s.cur_scene_switch_state);
    o += ", cur_scene=" + i32(static_cast<int32_t>(s.cur_scene));
    o += ", driver_enable_state=" + i32(s.driver_enable_state);
    const auto& q = s.odometry.quaternion;
    const float wxyz[4] = {q.w, q.x, q.y, q.z};
    o += ", odometry={twist.linear=" + vec3(s.odometry.twist.linear);
    o += ", twist.angular=" + vec3(s.odometry.twist.angular);
    o += ", point=" + vec3(s.odometry.point);
    o += ", quaternion=" + floats(wxyz, "(", ")") + "}";
    o += ", tip_position_wrt_hip=" + floats(s.tip_position_wrt_hip, "[", "]");
    o += ", vf_planned_tip_position_wrt_base=" + floats(s.vf_planned_tip_position_wrt_base, "[", "]");
    o += ", touch_detection=" + floats(s.touch_detection, "[", "]");
    o += ", target_body_orientation=" + floats(s.target_body_orientation, "(", ")");
    o += ", error_code=" + i32(s.error_code);
    o += ", has_error=" + b01(s.has_error);
    o += ", error_wheel=" + wheel(s.error_wheel);
    o += ", warn_wheel=" + wheel(s.warn_wheel);
    o += ", note_wheel=" + wheel(s.note_wheel);
    o += ", joint_error_wheel=" + wheel(s.joint_error_wheel);
    o += ", joint_warn_wheel=" + wheel(s.joint_warn_wheel);
    o += ", joint_note_wheel=" + wheel(s.joint_note_wheel);
    const auto& c = s.charge_status;
    o += ", charge_status={charge_tile_name=" + c.charge_tile_name;
    o += ", position_state=" + i32(c.position_state);
    o += ", charge_switch_state=" + i32(c.charge_switch_state);
    o += ", charge_succeeded=" + b01(c.charge_succeeded);
    o += ", battery_info={level=" + f32(c.battery_info.level);
    o += ", state=" + i32(c.battery_info.state) + "}";
    o += ", user_quit_charge_flag=" + b01(c.user_quit_charge_flag) + "}";
    o += ", salute_state=" + b01(s.salute_state);
    o += ", joy_mode=" + i32(s.joy_mode);
    o += ", eqa_state=" + i32(s.eqa_state);
    o += ", guardian_switch=" + b01(s.guardian_switch);
    o += ", visual_foothold_switch=" + b01(s.visual_foothold_switch);
    const auto& g = s.guardian_velocity_decay_ratio;
    o += ", guardian_velocity_decay_ratio={left_ratio=" + f32(g.left_ratio);
    o += ", front_ratio=" + f32(g.front_ratio);
    o += ", right_ratio=" + f32(g.right_ratio);
    o += ", rear_ratio=" + f32(g.rear_ratio) + "}";
    o += ", lie_down_adjust=" + i32(s.lie_down_adjust);
    o += ", speed_bar_on_controller=" + f32(s.speed_bar_on_controller);
    o += ", calibrate_pos_state=" + i32(s.calibrate_pos_state);
    o += ", self_test_code=" + i32(s.self_test_code);
    o += ", encoder_calibrate_state=" + i32(s.encoder_calibrate_state);
    o += ", nav_pos_state=" + b01(s.nav_pos_state);
    o += ", nav_init_pos=" + b01(s.nav_init_pos);
    o += ", terrain_seg_result=" + i32(s.terrain_seg_result);
    o += ", uwb_state=" + b01(s.uwb_state);
    o += ", stairs_state=" + i32(s.stairs_state);
    o += ", weight_load_switch=" + b01(s.weight_load_switch);
    o += ", cur_weight_load=" + f32(s.cur_weight_load);
    o += ", exceeding_weight_load=" + b01(s.exceeding_weight_load);
    o += "}";
    return o;
}
