// Reads the call trace of the simulated robot (libmc_client.so stand-in): one line
// per call, "<CLOCK_MONOTONIC ns> <tid> <function> key=value ... result=0|1".
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace robot_rig {

struct TraceCall {
    int64_t mono_ns = 0;  // comparable with std::chrono::steady_clock
    long tid = 0;
    std::string name;  // e.g. "rcClientInterfaceDirectionMovement"
    std::map<std::string, std::string> args;
    std::string line;

    bool has(const std::string& key) const { return args.count(key) != 0; }
    std::string str(const std::string& key) const;  // %XX decoded; "" when absent
    long long num(const std::string& key) const {
        return has(key) ? std::strtoll(args.at(key).c_str(), nullptr, 10) : 0;
    }
    double real(const std::string& key) const { return has(key) ? std::strtod(args.at(key).c_str(), nullptr) : 0.0; }
    bool result() const { return num("result") == 1; }
    std::chrono::steady_clock::time_point time() const {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(mono_ns));
    }
};

// Short names: "Init", "GetCommonStatus", "DriverEnable", "SetScene", "DirectionMovement",
// "DemoControl", "SpeedAdjust", "SetGuardianSwitch", "LightStripControl" (or the full name).
bool is_call(const TraceCall& c, const std::string& name);

// The calls of one function within `calls`.
std::vector<TraceCall> only(std::vector<TraceCall> calls, const std::string& name);

// Parses one line; nullopt when it is not a trace line.
std::optional<TraceCall> parse_line(const std::string& line);

class TraceReader {
public:
    explicit TraceReader(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    // Every complete line so far (a missing file reads as empty).
    std::vector<TraceCall> all() const;
    // The calls of one function.
    std::vector<TraceCall> calls(const std::string& name) const;
    size_t count(const std::string& name) const { return calls(name).size(); }

    // Polls until `done` holds for the calls (true) or the deadline passes (false).
    bool wait_until(const std::function<bool(const std::vector<TraceCall>&)>& done,
                    std::chrono::milliseconds deadline) const;
    // Waits for at least `n` calls of `name`; returns how many there are at the end.
    size_t wait_for_count(const std::string& name, size_t n, std::chrono::milliseconds deadline) const;
    // Waits for the first call of `name` that `match` accepts (any, without `match`).
    std::optional<TraceCall> wait_for_call(const std::string& name, std::chrono::milliseconds deadline,
                                           const std::function<bool(const TraceCall&)>& match = nullptr) const;

private:
    std::string path_;
};

// Movement runs: the movement task reads the status once, then sends one movement call
// after each further status read. A new task therefore shows as two status reads in a
// row. Returns, per task that moved, the movement calls it made (status reads by other
// threads must not interleave for this split to hold).
std::vector<std::vector<TraceCall>> movement_runs(const std::vector<TraceCall>& calls);

}  // namespace robot_rig
