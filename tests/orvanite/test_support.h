// What the link's process tests share: their programs, and the log file a child writes read
// as the log capture's entries.
#pragma once

#include <spdlog/common.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
    std::vector<test_support::LogEntry> out;
    for (const auto& line : test_support::splitLines(test_support::readFile(path))) {
        unsigned long tid = 0;
        int stamp = 0;  // its end: 23 when every field has all its digits
        std::sscanf(line.c_str(), "[%*8[0-9] %*2[0-9]:%*2[0-9]:%*2[0-9].%*3[0-9]]%n [tid %lu", &stamp, &tid);
        const std::string head = " [tid " + std::to_string(tid) + "] ";
        const size_t at = 23 + head.size();  // the level letter
        if (stamp != 23 || line.compare(23, head.size(), head) != 0 || line.size() <= at + 1 || line[at + 1] != ' ')
            continue;
        const size_t level = std::string("TDIWECO").find(line[at]);  // spdlog's short names, trace to off
        if (level != std::string::npos) out.push_back({static_cast<Level>(level), line.substr(at + 2), tid});
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
