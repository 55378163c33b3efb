#include "tests/support/log_capture.h"

#include <spdlog/sinks/null_sink.h>

#include <thread>

namespace test_support {

namespace {

bool containsAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& p : parts)
        if (text.find(p) == std::string::npos) return false;
    return true;
}

template <class Done>
bool pollUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

std::vector<LogEntry> LogCapture::entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<std::string> LogCapture::texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.text);
    return out;
}

size_t LogCapture::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

size_t LogCapture::count(spdlog::level::level_enum level, const std::vector<std::string>& parts) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : entries_) n += (e.level == level && containsAll(e.text, parts)) ? 1 : 0;
    return n;
}

size_t LogCapture::count(const std::string& text, size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (size_t i = from; i < entries_.size(); ++i) n += entries_[i].text.find(text) != std::string::npos ? 1 : 0;
    return n;
}

long LogCapture::find(const std::string& text, size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = from; i < entries_.size(); ++i)
        if (entries_[i].text.find(text) != std::string::npos) return static_cast<long>(i);
    return -1;
}

bool LogCapture::waitFor(spdlog::level::level_enum level, const std::vector<std::string>& parts,
                         std::chrono::milliseconds timeout) {
    return pollUntil([&] { return count(level, parts) > 0; }, timeout);
}

bool LogCapture::waitFor(const std::string& text, size_t from, std::chrono::milliseconds timeout) {
    return pollUntil([&] { return find(text, from) >= 0; }, timeout);
}

void LogCapture::sink_it_(const spdlog::details::log_msg& msg) {
    entries_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size()), msg.thread_id});
}

void silence(spdlog::logger& logger) {
    auto& sinks = logger.sinks();
    sinks.clear();
    sinks.push_back(std::make_shared<spdlog::sinks::null_sink_mt>());
}

std::vector<LogEntry> LogCapture::since(size_t mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mark >= entries_.size()) return {};
    return std::vector<LogEntry>(entries_.begin() + static_cast<long>(mark), entries_.end());
}

bool LogCapture::waitUntil(size_t mark, const std::function<bool(const std::vector<LogEntry>&)>& done,
                           std::chrono::milliseconds timeout) {
    return pollUntil([&] { return done(since(mark)); }, timeout);
}

bool LogCapture::waitForLine(size_t mark, spdlog::level::level_enum level, const std::string& text,
                             std::chrono::milliseconds timeout) {
    return pollUntil([&] { return findLog(entries(), level, text, mark) >= 0; }, timeout);
}

size_t countLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text) {
    size_t n = 0;
    for (const auto& e : logs) n += (e.level == level && e.text == text) ? 1 : 0;
    return n;
}

long findLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text, size_t from) {
    for (size_t i = from; i < logs.size(); ++i)
        if (logs[i].level == level && logs[i].text == text) return static_cast<long>(i);
    return -1;
}

std::vector<LogEntry> sameThreadFrom(const std::vector<LogEntry>& logs, size_t index) {
    std::vector<LogEntry> out;
    for (size_t i = index; i < logs.size(); ++i)
        if (logs[i].thread == logs[index].thread) out.push_back(logs[i]);
    return out;
}

}  // namespace test_support
