// What a process logs, captured beside its log file: a sink to add to the logger, and the
// searches and waits the suites run over what it caught.
#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace test_support {

struct LogEntry {
    spdlog::level::level_enum level;
    std::string text;
    size_t thread = 0;
};

// Keeps every message the logger passes on, in order.
class LogCapture : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogEntry> entries();
    std::vector<std::string> texts();
    size_t size();
    // The entries from index `mark` (an earlier size()) on.
    std::vector<LogEntry> since(size_t mark);

    // Entries at `level` whose text contains every one of `parts`.
    size_t count(spdlog::level::level_enum level, const std::vector<std::string>& parts);
    // Entries from index `from` on whose text contains `text`.
    size_t count(const std::string& text, size_t from = 0);
    // Index of the first entry from `from` on whose text contains `text`, or -1.
    long find(const std::string& text, size_t from = 0);

    bool waitFor(spdlog::level::level_enum level, const std::vector<std::string>& parts,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitFor(const std::string& text, size_t from = 0,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until `done` holds for the entries from `mark` on.
    bool waitUntil(size_t mark, const std::function<bool(const std::vector<LogEntry>&)>& done,
                   std::chrono::milliseconds timeout);
    // Waits for an entry from `mark` on with this level and exactly this text.
    bool waitForLine(size_t mark, spdlog::level::level_enum level, const std::string& text,
                     std::chrono::milliseconds timeout);

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

private:
    std::vector<LogEntry> entries_;
};

// Leaves `logger` one sink that drops everything: each message is still formatted.
void silence(spdlog::logger& logger);

// Entries with this level and exactly this text.
size_t countLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text);
// Index of the first entry at or after `from` with this level and text, or -1.
long findLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text,
             size_t from = 0);
// The entries logged by the thread that logged logs[index], from that one on.
std::vector<LogEntry> sameThreadFrom(const std::vector<LogEntry>& logs, size_t index);

}  // namespace test_support
