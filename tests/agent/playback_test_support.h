// Shared set-up for the playback and cloud-conversation tests: captured log messages,
// captured standard output and error, and a temporary directory.
#pragma once

#include "log_utils.h"

#include <spdlog/sinks/base_sink.h>
#include <stdlib.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace conversation_test {

struct LogEntry {
    spdlog::level::level_enum level;
    std::string text;
    size_t thread = 0;
};

// Keeps every message the process logs, beside the log file.
class LogSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogEntry> entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        entries_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size()), msg.thread_id});
    }
    void flush_() override {}

private:
    std::vector<LogEntry> entries_;
};

// Install from the main thread before any other thread logs.
inline LogSink& logSink() {
    static std::shared_ptr<LogSink> sink = [] {
        auto s = std::make_shared<LogSink>();
        logF->logger->sinks().push_back(s);
        return s;
    }();
    return *sink;
}

inline size_t logMark() { return logSink().entries().size(); }

inline std::vector<LogEntry> logsSince(size_t mark) {
    auto all = logSink().entries();
    if (mark >= all.size()) return {};
    return std::vector<LogEntry>(all.begin() + static_cast<long>(mark), all.end());
}

inline size_t countLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text) {
    size_t n = 0;
    for (const auto& e : logs) n += (e.level == level && e.text == text) ? 1 : 0;
    return n;
}

// Index of the first entry at or after `from` with this level and text, or -1.
inline long findLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text,
                    size_t from = 0) {
    for (size_t i = from; i < logs.size(); ++i)
        if (logs[i].level == level && logs[i].text == text) return static_cast<long>(i);
    return -1;
}

// The entries logged by the thread that logged logs[index], from that one on.
inline std::vector<LogEntry> sameThreadFrom(const std::vector<LogEntry>& logs, size_t index) {
    std::vector<LogEntry> out;
    for (size_t i = index; i < logs.size(); ++i)
        if (logs[i].thread == logs[index].thread) out.push_back(logs[i]);
    return out;
}

// Polls the log until `done` holds for the messages since `mark` or the deadline passes.
inline bool waitForLogs(size_t mark, const std::function<bool(const std::vector<LogEntry>&)>& done,
                        std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (done(logsSince(mark))) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline bool waitForLog(size_t mark, spdlog::level::level_enum level, const std::string& text,
                       std::chrono::milliseconds deadline) {
    return waitForLogs(
        mark, [&](const std::vector<LogEntry>& l) { return findLog(l, level, text) >= 0; }, deadline);
}

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// 16-bit mono samples as the bytes a device or a file holds.
inline std::string pcmBytes(const std::vector<int16_t>& samples) {
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
}

// A WAV file: a 44-byte header (playback skips it unread), then `data`.
inline std::string writeWave(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    std::string header("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20);
    header.resize(44, '\0');
    f << header << data;
    return path;
}

// Redirects a file descriptor (1 or 2) into a file while it lives.
class FdCapture {
public:
    FdCapture(int fd, const std::string& path) : fd_(fd), path_(path) {
        flushAll();
        saved_ = ::dup(fd_);
        int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, fd_);
        ::close(out);
    }
    ~FdCapture() { restore(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // What arrived so far.
    std::string text() {
        flushAll();
        return readFile(path_);
    }
    std::vector<std::string> lines() { return splitLines(text()); }
    size_t count(const std::string& line) {
        size_t n = 0;
        for (const auto& l : lines()) n += l == line ? 1 : 0;
        return n;
    }
    void restore() {
        if (saved_ >= 0) {
            flushAll();
            ::dup2(saved_, fd_);
            ::close(saved_);
            saved_ = -1;
        }
    }

private:
    static void flushAll() {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(stdout);
        std::fflush(stderr);
    }
    int fd_;
    std::string path_;
    int saved_ = -1;
};

// A fresh directory under /tmp (the caller removes it).
inline std::string makeTempDir(const std::string& tag) {
    std::string pattern = "/tmp/" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* dir = ::mkdtemp(buf.data());
    return dir ? dir : "/tmp";
}

}  // namespace conversation_test
