// Helpers for the link's tests: the log file and the options of their child processes.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvanite_test {

using Clock = std::chrono::steady_clock;

struct LogLine {
    std::string stamp;  // "20261208 19:30:00.123"
    long tid = 0;
    char level = 0;
    std::string text;
};

// One line of the format "[%Y%m%d %H:%M:%S.%e] [tid %t] %L %v"; false when it is not one.
inline bool parse_log_line(const std::string& line, LogLine& out) {
    // [YYYYMMDD HH:MM:SS.mmm] = 23 characters
    if (line.size() < 23 + 7 || line[0] != '[' || line[22] != ']') return false;
    out.stamp = line.substr(1, 21);
    for (size_t i = 0; i < out.stamp.size(); ++i) {
        char c = out.stamp[i];
        bool ok = (i == 8) ? c == ' ' : (i == 11 || i == 14) ? c == ':' : (i == 17) ? c == '.' : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    if (line.compare(23, 6, " [tid ") != 0) return false;
    size_t close = line.find("] ", 29);
    if (close == std::string::npos || close == 29) return false;
    for (size_t i = 29; i < close; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    out.tid = std::stol(line.substr(29, close - 29));
    if (close + 3 > line.size() || line[close + 3] != ' ') return false;
    out.level = line[close + 2];
    out.text = line.substr(close + 4);
    return true;
}

class LogFile {
public:
    explicit LogFile(std::string path = "logs/basic-log.txt") : path_(std::move(path)) {}

    // Later reads see only what is written from now on.
    void mark() { offset_ = size(); }

    std::vector<LogLine> lines() const {
        std::vector<LogLine> out;
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            LogLine l;
            if (parse_log_line(line, l)) out.push_back(l);
        }
        return out;
    }

    std::string raw() const {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    size_t count(char level, const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines())
            if (l.level == level && l.text == text) ++n;
        return n;
    }
    bool has(char level, const std::string& text) const { return count(level, text) > 0; }
    bool has_prefix(char level, const std::string& prefix) const {
        for (const auto& l : lines())
            if (l.level == level && l.text.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    bool wait_for(char level, const std::string& text, std::chrono::milliseconds timeout) const {
        return test_support::waitUntil([&] { return has(level, text); }, timeout, std::chrono::milliseconds(5));
    }

private:
    size_t size() const {
        std::error_code ec;
        auto s = std::filesystem::file_size(path_, ec);
        return ec ? 0 : static_cast<size_t>(s);
    }
    std::string path_;
    size_t offset_ = 0;
};

// Runs argv in dir, with a pipe to its standard input and its output in dir/stdout.txt and
// dir/stderr.txt.
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
