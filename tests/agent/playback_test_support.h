// Shared set-up for the playback and cloud-conversation tests: captured log messages,
// captured standard output and error, and a temporary directory.
#pragma once

#include "common/log_utils.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

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

using LogEntry = test_support::LogEntry;
// Keeps every message the process logs, beside the log file.
using LogSink = test_support::LogCapture;

// Install from the main thread before any other thread logs.
inline LogSink& logSink() {
    static std::shared_ptr<LogSink> sink = test_support::attach(*logF->logger, std::make_shared<LogSink>());
    return *sink;
}

inline size_t logMark() { return logSink().size(); }

inline std::vector<LogEntry> logsSince(size_t mark) { return test_support::since(logSink().entries(), mark); }

using test_support::countLog;
using test_support::findLog;
using test_support::sameThreadFrom;

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

using test_support::readFile;
using test_support::splitLines;

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
using test_support::FdCapture;

// A fresh directory under /tmp (the caller removes it).
inline std::string makeTempDir(const std::string& tag) { return test_support::makeTempDir(tag); }

}  // namespace conversation_test
