// What the link's process tests share: their programs, and the log file a child writes read
// as the log capture's entries.
#pragma once

#include <spdlog/common.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvanite_test {

using Level = spdlog::level::level_enum;

inline std::string bin(const std::string& name) { return test_support::binaryDir() + "/bin/" + name; }

// The lines of the file in the format "[%Y%m%d %H:%M:%S.%e] [tid %t] %L %v", the tid as the
// entry's thread; lines of any other form are left out.
inline std::vector<test_support::LogEntry> fileLog(const std::string& path) {
    static const std::regex format(R"(\[\d{8} \d\d:\d\d:\d\d\.\d{3}\] \[tid (\d+)\] (\S) (.*))");
    std::vector<test_support::LogEntry> out;
    std::smatch m;
    for (const auto& line : test_support::splitLines(test_support::readFile(path))) {
        if (!std::regex_match(line, m, format)) continue;
        const size_t level = std::string("TDIWECO").find(m.str(2));  // spdlog's short names, trace to off
        if (level != std::string::npos) out.push_back({static_cast<Level>(level), m.str(3), std::stoul(m.str(1))});
    }
    return out;
}

// Whether `logs` hold an entry at this level with exactly this text (`prefix`: starting so).
inline bool has(const std::vector<test_support::LogEntry>& logs, Level level, const std::string& text,
                bool prefix = false) {
    return std::any_of(logs.begin(), logs.end(), [&](const test_support::LogEntry& e) {
        return e.level == level && (prefix ? e.text.rfind(text, 0) == 0 : e.text == text);
    });
}

inline bool waitForFileLine(const std::string& path, spdlog::level::level_enum level, const std::string& text,
                            std::chrono::milliseconds timeout) {
    return test_support::waitUntil([&] { return has(fileLog(path), level, text); }, timeout);
}

// Runs argv in dir, input from a pipe, output in dir/stdout.txt and dir/stderr.txt.
inline test_support::ProcessOptions in_dir(const std::vector<std::string>& argv, const std::string& dir) {
    test_support::ProcessOptions o;
    o.argv = argv;
    o.cwd = dir;
    o.stdoutPath = dir + "/stdout.txt";
    o.stderrPath = dir + "/stderr.txt";
    o.stdinPipe = true;
    return o;
}

}  // namespace orvanite_test
