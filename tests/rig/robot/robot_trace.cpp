#include "tests/rig/robot/robot_trace.h"

#include "tests/support/files.h"

#include <algorithm>
#include <sstream>

namespace robot_rig {

std::string TraceCall::str(const std::string& key) const {
    const std::string s = has(key) ? args.at(key) : std::string();
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

bool is_call(const TraceCall& c, const std::string& name) {
    return c.name == name || c.name == "rcClientInterface" + name;
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

std::vector<TraceCall> TraceReader::all() const {
    std::string content = test_support::readFile(path_);
    content.erase(content.rfind('\n') + 1);  // a line still being written
    std::vector<TraceCall> out;
    for (const auto& line : test_support::splitLines(content))
        if (auto c = parse_line(line)) out.push_back(std::move(*c));
    return out;
}

std::vector<TraceCall> only(std::vector<TraceCall> calls, const std::string& name) {
    calls.erase(std::remove_if(calls.begin(), calls.end(), [&](const TraceCall& c) { return !is_call(c, name); }),
                calls.end());
    return calls;
}

std::vector<TraceCall> TraceReader::calls(const std::string& name) const { return only(all(), name); }

bool TraceReader::wait_until(const std::function<bool(const std::vector<TraceCall>&)>& done,
                             std::chrono::milliseconds deadline) const {
    return test_support::waitUntil([&] { return done(all()); }, deadline);
}

size_t TraceReader::wait_for_count(const std::string& name, size_t n, std::chrono::milliseconds deadline) const {
    test_support::waitUntil([&] { return count(name) >= n; }, deadline);
    return count(name);
}

std::optional<TraceCall> TraceReader::wait_for_call(const std::string& name, std::chrono::milliseconds deadline,
                                                    const std::function<bool(const TraceCall&)>& match) const {
    std::optional<TraceCall> found;
    test_support::waitUntil(
        [&] {
            for (auto& c : calls(name)) {
                if (match && !match(c)) continue;
                found = std::move(c);
                return true;
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
