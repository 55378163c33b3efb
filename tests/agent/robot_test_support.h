// Shared set-up for the robot controller tests: a private simulated robot (trace file in
// a temporary directory), captured log messages and captured standard output.
#pragma once

#include "log_utils.h"
#include "robot_trace.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace robot_test {

using namespace std::chrono_literals;

struct LogEntry {
    spdlog::level::level_enum level;
    std::string text;
};

// Keeps every message the process logs, beside the log file.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogEntry> entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        entries_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogEntry> entries_;
};

// Installed once, from the main thread, before any controller starts a worker.
inline CaptureSink& log_capture() {
    static std::shared_ptr<CaptureSink> sink = [] {
        auto s = std::make_shared<CaptureSink>();
        logF->logger->sinks().push_back(s);
        return s;
    }();
    return *sink;
}

// Log messages since `from` (an index into the capture).
inline std::vector<LogEntry> logs_since(size_t from) {
    auto all = log_capture().entries();
    if (from >= all.size()) return {};
    return std::vector<LogEntry>(all.begin() + static_cast<long>(from), all.end());
}

inline size_t count_log(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text) {
    size_t n = 0;
    for (const auto& e : logs) n += (e.level == level && e.text == text) ? 1 : 0;
    return n;
}

// Redirects file descriptor 1 into a file while it lives; text() reads what arrived.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& path) : path_(path) {
        std::fflush(stdout);
        saved_ = ::dup(1);
        FILE* f = std::fopen(path.c_str(), "w");
        ::dup2(fileno(f), 1);
        std::fclose(f);
    }
    ~StdoutCapture() { restore(); }
    // Restores standard output and echoes what was captured, so failures stay readable.
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
        std::fputs(text().c_str(), stdout);
        std::fflush(stdout);
    }
    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::stringstream ss(text());
        std::string line;
        while (std::getline(ss, line)) out.push_back(line);
        return out;
    }

private:
    std::string path_;
    int saved_ = -1;
};

inline size_t count_line(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const auto& l : lines) n += l == text ? 1 : 0;
    return n;
}

// A private simulated robot: configures MC_SIM_* for the next rcClientInterfaceInit
// (the controller's constructor) and gives the trace.
class RobotTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_capture();
        char tmpl[] = "/tmp/robot_test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        for (const char* v :
             {"MC_SIM_FAIL_INIT", "MC_SIM_FAIL_STATUS", "MC_SIM_FAIL_STATUS_AFTER", "MC_SIM_REFUSE_DRIVE",
              "MC_SIM_REFUSE_SCENE", "MC_SIM_REFUSE_SPEED", "MC_SIM_REFUSE_GUARDIAN", "MC_SIM_DRIVE_STUCK",
              "MC_SIM_SCENE_STUCK", "MC_SIM_DRIVE_DELAY_MS", "MC_SIM_SCENE_DELAY_MS", "MC_SIM_DRIVE", "MC_SIM_SCENE",
              "MC_SIM_TILE_NAME"})
            ::unsetenv(v);
        ::setenv("MC_SIM_TRACE", trace_path().c_str(), 1);
        ::setenv("MC_SIM_DRIVE_DELAY_MS", "50", 1);
        ::setenv("MC_SIM_SCENE_DELAY_MS", "50", 1);
        log_mark_ = log_capture().entries().size();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Sets simulator variables for the controller constructed next.
    void sim(std::initializer_list<std::pair<const char*, const char*>> vars) {
        for (const auto& [k, v] : vars) ::setenv(k, v, 1);
    }
    std::string trace_path() const { return dir_ + "/robot.trace"; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    robot_rig::TraceReader trace() const { return robot_rig::TraceReader(trace_path()); }
    std::vector<LogEntry> logs() const { return logs_since(log_mark_); }

    std::string dir_;
    size_t log_mark_ = 0;
};

// The calls of one function within `calls`.
inline std::vector<robot_rig::TraceCall> only(const std::vector<robot_rig::TraceCall>& calls, const std::string& name) {
    std::vector<robot_rig::TraceCall> out;
    for (const auto& c : calls)
        if (robot_rig::is_call(c, name)) out.push_back(c);
    return out;
}

inline long long ms_between(const robot_rig::TraceCall& a, const robot_rig::TraceCall& b) {
    return (b.mono_ns - a.mono_ns) / 1'000'000;
}

}  // namespace robot_test
