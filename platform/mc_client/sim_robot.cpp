// A small simulated legged robot behind the motion-control client interface.
// Every call is recorded, one line each, in the trace file named by MC_SIM_TRACE;
// the robot's behaviour and its faults are configured by MC_SIM_* variables, read
// when rcClientInterfaceInit connects (see README.md).
#include "platform/mc_client/mc_client.h"
#include "platform/mc_client/mc_sim.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

using namespace robot_control::common;

namespace {

constexpr int32_t kDriveOn = 1;
constexpr int32_t kDriveOff = 4;
constexpr double kControlPeriod = 0.010;  // each movement call holds for one period (s)
constexpr int64_t kTwistHoldNs = 100'000'000;
constexpr float kStandHeight = 0.30f;
constexpr float kLieHeight = 0.10f;

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool env_flag(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

long long env_int(const char* name, long long fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(v, &end, 10);
    if (errno != 0 || *end != '\0') {
        std::fprintf(stderr, "mc_client sim: ignoring %s=%s (not a number)\n", name, v);
        return fallback;
    }
    return n;
}

struct Config {
    std::string trace_path;
    bool fail_init = false;
    bool fail_status = false;
    long long status_ok_reads = -1;  // -1: no limit
    bool refuse_drive = false;
    bool refuse_scene = false;
    bool refuse_speed = false;
    bool refuse_guardian = false;
    bool drive_stuck = false;
    bool scene_stuck = false;
    int64_t drive_delay_ns = 300'000'000;
    int64_t scene_delay_ns = 1'500'000'000;
    int32_t initial_drive = kDriveOff;
    int32_t initial_scene = SCENE_LIE_DOWN;
    std::string tile_name;

    static Config from_env() {
        Config c;
        if (const char* v = std::getenv("MC_SIM_TRACE")) c.trace_path = v;
        c.fail_init = env_flag("MC_SIM_FAIL_INIT");
        c.fail_status = env_flag("MC_SIM_FAIL_STATUS");
        c.status_ok_reads = env_int("MC_SIM_FAIL_STATUS_AFTER", -1);
        c.refuse_drive = env_flag("MC_SIM_REFUSE_DRIVE");
        c.refuse_scene = env_flag("MC_SIM_REFUSE_SCENE");
        c.refuse_speed = env_flag("MC_SIM_REFUSE_SPEED");
        c.refuse_guardian = env_flag("MC_SIM_REFUSE_GUARDIAN");
        c.drive_stuck = env_flag("MC_SIM_DRIVE_STUCK");
        c.scene_stuck = env_flag("MC_SIM_SCENE_STUCK");
        c.drive_delay_ns = std::clamp<long long>(env_int("MC_SIM_DRIVE_DELAY_MS", 300), 0, 600'000) * 1'000'000;
        c.scene_delay_ns = std::clamp<long long>(env_int("MC_SIM_SCENE_DELAY_MS", 1500), 0, 600'000) * 1'000'000;
        c.initial_drive = env_int("MC_SIM_DRIVE", kDriveOff) == kDriveOn ? kDriveOn : kDriveOff;
        c.initial_scene = env_int("MC_SIM_SCENE", SCENE_LIE_DOWN) == SCENE_STAND ? SCENE_STAND : SCENE_LIE_DOWN;
        if (const char* v = std::getenv("MC_SIM_TILE_NAME")) c.tile_name = v;
        return c;
    }
};

// Trace values are single words: bytes that are blanks, controls, '%' or not ASCII
// are written as %XX.
std::string encode(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char ch : s) {
        if (ch <= 0x20 || ch >= 0x7f || ch == '%') {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

std::string twist_args(const ROBOT_TWIST_& t) {
    return format("lx=%.6f ly=%.6f lz=%.6f ax=%.6f ay=%.6f az=%.6f", t.linear.x, t.linear.y, t.linear.z, t.angular.x,
                  t.angular.y, t.angular.z);
}

class Robot {
public:
    std::mutex m;

    // All members below are guarded by m.
    void ensure_config() {
        if (!configured_) apply_config(Config::from_env());
    }

    bool init(const std::string& address) {
        apply_config(Config::from_env());
        reset_state();
        connected_ = !cfg_.fail_init;
        trace("rcClientInterfaceInit", "address=" + encode(address), connected_);
        return connected_;
    }

    bool status(ROBOT_COMMON_STATUS_* out) {
        const int64_t now = advance();
        bool ok = connected_ && out != nullptr && !cfg_.fail_status &&
                  (cfg_.status_ok_reads < 0 || static_cast<long long>(status_reads_) < cfg_.status_ok_reads);
        if (!ok) {
            // Like a real library, a failed read may leave a half-written record behind:
            // here one that reads as driving and standing, with the last heartbeat.
            if (out != nullptr) {
                fill(*out, now);
                out->driver_enable_state = kDriveOn;
                out->cur_scene = SCENE_STAND;
            }
            trace("rcClientInterfaceGetCommonStatus", "", false);
            return false;
        }
        ++status_reads_;
        heartbeat_ = std::max<int64_t>(heartbeat_ + 1, (now - start_ns_) / 1'000'000);
        fill(*out, now);
        trace("rcClientInterfaceGetCommonStatus",
              format("heartbeat=%lld driver_enable_state=%d cur_scene=%d", static_cast<long long>(heartbeat_), drive_,
                     scene_),
              true);
        return true;
    }

    bool driver_enable(NAV_OR_JOY_MODE_ mode, bool enable) {
        const int64_t now = advance();
        bool ok = connected_ && valid_mode(mode) && !cfg_.refuse_drive;
        if (ok && !cfg_.drive_stuck) {
            const int32_t target = enable ? kDriveOn : kDriveOff;
            if (target == drive_) {
                drive_pending_ = false;
            } else {
                drive_pending_ = true;
                drive_target_ = target;
                drive_due_ns_ = now + cfg_.drive_delay_ns;
            }
        }
        trace("rcClientInterfaceDriverEnable", format("mode=%d enable=%d", static_cast<int>(mode), enable ? 1 : 0), ok);
        return ok;
    }

    bool set_scene(NAV_OR_JOY_MODE_ mode, SCENE_TYPE_ scene) {
        const int64_t now = advance();
        const bool known = scene == SCENE_LIE_DOWN || scene == SCENE_STAND;
        // Standing up needs the drive; lying down is always possible.
        bool ok = connected_ && valid_mode(mode) && known && !cfg_.refuse_scene &&
                  (scene == SCENE_LIE_DOWN || drive_ == kDriveOn);
        if (ok && !cfg_.scene_stuck) {
            if (scene == scene_) {
                scene_pending_ = false;
            } else {
                scene_pending_ = true;
                scene_target_ = scene;
                scene_due_ns_ = now + cfg_.scene_delay_ns;
            }
        }
        trace("rcClientInterfaceSetScene", format("mode=%d scene=%d", static_cast<int>(mode), static_cast<int>(scene)),
              ok);
        return ok;
    }

    bool move(NAV_OR_JOY_MODE_ mode, const ROBOT_TWIST_& t, long heartbeat) {
        const int64_t now = advance();
        const float v[6] = {t.linear.x, t.linear.y, t.linear.z, t.angular.x, t.angular.y, t.angular.z};
        const bool finite = std::all_of(std::begin(v), std::end(v), [](float f) { return std::isfinite(f); });
        // A command counts only with a heartbeat the robot has handed out.
        bool ok = connected_ && valid_mode(mode) && finite && drive_ == kDriveOn && scene_ == SCENE_STAND &&
                  heartbeat > 0 && heartbeat <= heartbeat_;
        if (ok) {
            yaw_ += t.angular.z * kControlPeriod;
            x_ += (t.linear.x * std::cos(yaw_) - t.linear.y * std::sin(yaw_)) * kControlPeriod;
            y_ += (t.linear.x * std::sin(yaw_) + t.linear.y * std::cos(yaw_)) * kControlPeriod;
            z_ += t.linear.z * kControlPeriod;
            last_twist_ = t;
            last_move_ns_ = now;
        }
        trace("rcClientInterfaceDirectionMovement",
              format("mode=%d ", static_cast<int>(mode)) + twist_args(t) + format(" heartbeat=%ld", heartbeat), ok);
        return ok;
    }

    bool demo(NAV_OR_JOY_MODE_ mode, int action, bool flag) {
        const int64_t now = advance();
        bool ok = connected_ && valid_mode(mode) && action >= 2 && action <= 4;
        if (ok) demo_until_ns_ = now + 3'000'000'000LL;
        trace("rcClientInterfaceDemoControl",
              format("mode=%d action=%d flag=%d", static_cast<int>(mode), action, flag ? 1 : 0), ok);
        return ok;
    }

    bool speed(NAV_OR_JOY_MODE_ mode, int value) {
        advance();
        bool ok = connected_ && valid_mode(mode) && !cfg_.refuse_speed && value >= 0 && value <= 100;
        if (ok) speed_bar_ = value;
        trace("rcClientInterfaceSpeedAdjust", format("mode=%d speed=%d", static_cast<int>(mode), value), ok);
        return ok;
    }

    bool guardian(NAV_OR_JOY_MODE_ mode, bool on) {
        advance();
        bool ok = connected_ && valid_mode(mode) && !cfg_.refuse_guardian;
        if (ok) guardian_ = on;
        trace("rcClientInterfaceSetGuardianSwitch", format("mode=%d on=%d", static_cast<int>(mode), on ? 1 : 0), ok);
        return ok;
    }

    bool light(NAV_OR_JOY_MODE_ mode, const std::string& strip, _EN_MICRO_EMOJI_CONTROL_CMD emoji, int a, int b) {
        advance();
        const int32_t e = static_cast<int32_t>(emoji);
        bool ok = connected_ && valid_mode(mode) && strip == "led" && e >= 0 && e <= 11;
        if (ok) last_emoji_ = e;
        trace("rcClientInterfaceLightStripControl",
              format("mode=%d strip=%s emoji=%d arg1=%d arg2=%d", static_cast<int>(mode), encode(strip).c_str(), e, a,
                     b),
              ok);
        return ok;
    }

    int32_t last_emoji() const { return last_emoji_; }
    uint64_t calls() const { return calls_; }

private:
    static bool valid_mode(NAV_OR_JOY_MODE_ mode) { return mode == NAV_MODE || mode == JOY_MODE; }

    void apply_config(const Config& c) {
        if (!configured_ || c.trace_path != cfg_.trace_path) {
            if (trace_fd_ >= 0) ::close(trace_fd_);
            trace_fd_ = -1;
            if (!c.trace_path.empty()) {
                trace_fd_ = ::open(c.trace_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (trace_fd_ < 0)
                    std::fprintf(stderr, "mc_client sim: cannot open trace %s: %s\n", c.trace_path.c_str(),
                                 std::strerror(errno));
            }
        }
        cfg_ = c;
        configured_ = true;
    }

    void reset_state() {
        start_ns_ = mono_ns();
        heartbeat_ = 0;
        status_reads_ = 0;
        calls_ = 0;
        drive_ = cfg_.initial_drive;
        scene_ = cfg_.initial_scene;
        drive_pending_ = scene_pending_ = false;
        x_ = y_ = z_ = yaw_ = 0.0;
        last_twist_ = ROBOT_TWIST_{};
        last_move_ns_ = 0;
        demo_until_ns_ = 0;
        speed_bar_ = 100;
        guardian_ = false;
        last_emoji_ = -1;
    }

    // Brings the simulated robot up to the present and counts the call.
    int64_t advance() {
        ensure_config();
        ++calls_;
        const int64_t now = mono_ns();
        if (drive_pending_ && now >= drive_due_ns_) {
            drive_pending_ = false;
            drive_ = drive_target_;
            if (drive_ == kDriveOff) {  // without the drive the legs give way
                scene_ = SCENE_LIE_DOWN;
                scene_pending_ = false;
            }
        }
        if (scene_pending_ && now >= scene_due_ns_) {
            scene_pending_ = false;
            scene_ = scene_target_;
        }
        return now;
    }

    void fill(ROBOT_COMMON_STATUS_& s, int64_t now) const {
        s = ROBOT_COMMON_STATUS_{};
        s.network = 1;
        s.heartbeat = heartbeat_;
        const bool moving = last_move_ns_ != 0 && now - last_move_ns_ < kTwistHoldNs;
        if (moving) {
            s.odometry.twist = last_twist_;
            s.cur_speed = std::hypot(last_twist_.linear.x, last_twist_.linear.y);
        }
        s.cur_height = scene_ == SCENE_STAND ? kStandHeight : kLieHeight;
        s.max_height = 0.35f;
        s.max_speed = 1.5f * static_cast<float>(speed_bar_) / 100.0f;
        s.cur_scene_switch_state = scene_pending_ ? 1 : 0;
        s.cur_scene = static_cast<SCENE_TYPE_>(scene_);
        s.driver_enable_state = drive_;
        s.odometry.point.x = static_cast<float>(x_);
        s.odometry.point.y = static_cast<float>(y_);
        s.odometry.point.z = static_cast<float>(z_);
        s.odometry.quaternion.z = static_cast<float>(std::sin(yaw_ / 2));
        s.odometry.quaternion.w = static_cast<float>(std::cos(yaw_ / 2));
        s.target_body_orientation[2] = static_cast<float>(yaw_);
        s.charge_status.charge_tile_name = cfg_.tile_name;
        s.charge_status.battery_info.level = 87.5f;
        s.charge_status.battery_info.state = 1;
        s.salute_state = now < demo_until_ns_;
        s.joy_mode = JOY_MODE;
        s.guardian_switch = guardian_;
        s.guardian_velocity_decay_ratio = {1.0f, 1.0f, 1.0f, 1.0f};
        s.speed_bar_on_controller = static_cast<float>(speed_bar_);
    }

    void trace(const char* call, const std::string& args, bool result) {
        if (trace_fd_ < 0) return;
        std::string line = format("%lld %ld %s", static_cast<long long>(mono_ns()),
                                  static_cast<long>(syscall(SYS_gettid)), call);
        if (!args.empty()) line += " " + args;
        line += result ? " result=1\n" : " result=0\n";
        size_t off = 0;
        while (off < line.size()) {
            ssize_t n = ::write(trace_fd_, line.data() + off, line.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }

    Config cfg_;
    bool configured_ = false;
    int trace_fd_ = -1;
    bool connected_ = false;
    int64_t start_ns_ = mono_ns();
    int64_t heartbeat_ = 0;
    uint64_t status_reads_ = 0;
    uint64_t calls_ = 0;
    int32_t drive_ = kDriveOff;
    int32_t drive_target_ = kDriveOff;
    bool drive_pending_ = false;
    int64_t drive_due_ns_ = 0;
    int32_t scene_ = SCENE_LIE_DOWN;
    int32_t scene_target_ = SCENE_LIE_DOWN;
    bool scene_pending_ = false;
    int64_t scene_due_ns_ = 0;
    double x_ = 0, y_ = 0, z_ = 0, yaw_ = 0;
    ROBOT_TWIST_ last_twist_{};
    int64_t last_move_ns_ = 0;
    int64_t demo_until_ns_ = 0;
    int speed_bar_ = 100;
    bool guardian_ = false;
    int32_t last_emoji_ = -1;
};

// Never destroyed: calls from threads that outlive static destruction stay safe.
Robot& robot() {
    static Robot* r = new Robot;
    return *r;
}

}  // namespace

// The robot library's signatures take strings by value.
bool rcClientInterfaceInit(std::string address) {  // NOLINT(performance-unnecessary-value-param)
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.init(address);
}

bool rcClientInterfaceGetCommonStatus(ROBOT_COMMON_STATUS_* status) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.status(status);
}

bool rcClientInterfaceDriverEnable(NAV_OR_JOY_MODE_ mode, bool enable) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.driver_enable(mode, enable);
}

bool rcClientInterfaceSetScene(NAV_OR_JOY_MODE_ mode, SCENE_TYPE_ scene) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.set_scene(mode, scene);
}

bool rcClientInterfaceDirectionMovement(NAV_OR_JOY_MODE_ mode, ROBOT_TWIST_ twist, long heartbeat) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.move(mode, twist, heartbeat);
}

bool rcClientInterfaceDemoControl(NAV_OR_JOY_MODE_ mode, int action, bool flag) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.demo(mode, action, flag);
}

bool rcClientInterfaceSpeedAdjust(NAV_OR_JOY_MODE_ mode, int speed) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.speed(mode, speed);
}

bool rcClientInterfaceSetGuardianSwitch(NAV_OR_JOY_MODE_ mode, bool on) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.guardian(mode, on);
}

bool rcClientInterfaceLightStripControl(NAV_OR_JOY_MODE_ mode,
                                        std::string strip,  // NOLINT(performance-unnecessary-value-param)
                                        _EN_MICRO_EMOJI_CONTROL_CMD emoji, int arg1, int arg2) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.light(mode, strip, emoji, arg1, arg2);
}

extern "C" int32_t mc_sim_last_emoji(void) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.last_emoji();
}

extern "C" uint64_t mc_sim_call_count(void) {
    Robot& r = robot();
    std::lock_guard<std::mutex> lock(r.m);
    return r.calls();
}
