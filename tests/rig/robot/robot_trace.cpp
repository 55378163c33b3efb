#include "tests/rig/robot/robot_trace.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace robot_rig {

namespace {

std::string decode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::string TraceCall::str(const std::string& key) const {
    auto it = args.find(key);
    return it == args.end() ? std::string() : decode(it->second);
}

long long TraceCall::num(const std::string& key) const {
    auto it = args.find(key);
    return it == args.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
}

double TraceCall::real(const std::string& key) const {
    auto it = args.find(key);
    return it == args.end() ? 0.0 : std::strtod(it->second.c_str(), nullptr);
}

std::chrono::steady_clock::time_point TraceCall::time() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(mono_ns));
}

bool is_call(const TraceCall& c, const std::string& name) {
    static const std::string prefix = "rcClientInterface";
    return c.name == name || c.name == prefix + name;
}

std::optional<TraceCall> parse_line(const std::string& line) {
    std::istringstream in(line);
    TraceCall c;
    if (!(in >> c.mono_ns >> c.tid >> c.name)) return std::nullopt;
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        if (eq == std::string::npos) return std::nullopt;
        c.args[word.substr(0, eq)] = word.substr(eq + 1);
    }
    if (!c.has("result")) return std::nullopt;
    c.line = line;
    return c;
}

TraceReader::TraceReader(std::string path) : path_(std::move(path)) {}

std::vector<TraceCall> TraceReader::all() const {
    std::vector<TraceCall> out;
    std::ifstream in(path_, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (;;) {
        size_t nl = content.find('\n', start);
        if (nl == std::string::npos) break;  // a line still being written
        if (auto c = parse_line(content.substr(start, nl - start))) out.push_back(std::move(*c));
        start = nl + 1;
    }
    return out;
}

std::vector<TraceCall> TraceReader::calls(const std::string& name) const {
    std::vector<TraceCall> out;
    for (auto& c : all())
        if (is_call(c, name)) out.push_back(std::move(c));
    return out;
}

bool TraceReader::wait_until(const std::function<bool(const std::vector<TraceCall>&)>& done,
                             std::chrono::milliseconds deadline) const {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (done(all())) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

size_t TraceReader::wait_for_count(const std::string& name, size_t n, std::chrono::milliseconds deadline) const {
    size_t have = 0;
    wait_until(
        [&](const std::vector<TraceCall>& calls) {
            have = 0;
            for (const auto& c : calls) have += is_call(c, name) ? 1 : 0;
            return have >= n;
        },
        deadline);
    return have;
}

std::optional<TraceCall> TraceReader::wait_for_call(const std::string& name, std::chrono::milliseconds deadline,
                                                    const std::function<bool(const TraceCall&)>& match) const {
    std::optional<TraceCall> found;
    wait_until(
        [&](const std::vector<TraceCall>& calls) {
            for (const auto& c : calls) {
                if (is_call(c, name) && (!match || match(c))) {
                    found = c;
                    return true;
                }
            }
            return false;
        },
        deadline);
    return found;
}

std::vector<std::vector<TraceCall>> movement_runs(const std::vector<TraceCall>& calls) {
    std::vector<std::vector<TraceCall>> runs;
    std::vector<TraceCall> current;
    bool last_was_read = false;
    for (const auto& c : calls) {
        if (is_call(c, "GetCommonStatus")) {
            if (last_was_read && !current.empty()) {
                runs.push_back(std::move(current));
                current.clear();
            }
            last_was_read = true;
        } else if (is_call(c, "DirectionMovement")) {
            current.push_back(c);
            last_was_read = false;
        }
    }
    if (!current.empty()) runs.push_back(std::move(current));
    return runs;
}

}  // namespace robot_rig
