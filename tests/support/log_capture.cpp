#include "tests/support/log_capture.h"

#include <spdlog/sinks/null_sink.h>

#include <algorithm>

#include "tests/support/files.h"

namespace test_support {

namespace {

bool containsAll(const std::string& text, const std::vector<std::string>& parts) {
    return std::all_of(parts.begin(), parts.end(), [&](const auto& p) { return text.find(p) != std::string::npos; });
}

bool waitAtMost(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return test_support::waitUntil(done, timeout, std::chrono::milliseconds(5)) || done();
}

}  // namespace

std::vector<LogEntry> LogCapture::entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<std::string> LogCapture::texts() {
    std::vector<std::string> out;
    for (const auto& e : entries()) out.push_back(e.text);
    return out;
}

size_t LogCapture::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::vector<LogEntry> LogCapture::since(size_t mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mark >= entries_.size()) return {};
    return std::vector<LogEntry>(entries_.begin() + static_cast<long>(mark), entries_.end());
}

size_t LogCapture::count(spdlog::level::level_enum level, const std::vector<std::string>& parts) {
    const auto all = entries();
    return std::count_if(all.begin(), all.end(),
                         [&](const auto& e) { return e.level == level && containsAll(e.text, parts); });
}

size_t LogCapture::count(const std::string& text, size_t from) {
    const auto all = since(from);
    return std::count_if(all.begin(), all.end(), [&](const auto& e) { return e.text.find(text) != std::string::npos; });
}

long LogCapture::find(const std::string& text, size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = from; i < entries_.size(); ++i)
        if (entries_[i].text.find(text) != std::string::npos) return static_cast<long>(i);
    return -1;
}

bool LogCapture::waitFor(spdlog::level::level_enum level, const std::vector<std::string>& parts,
                         std::chrono::milliseconds timeout) {
    return waitAtMost([&] { return count(level, parts) > 0; }, timeout);
}

bool LogCapture::waitFor(const std::string& text, size_t from, std::chrono::milliseconds timeout) {
    return waitAtMost([&] { return find(text, from) >= 0; }, timeout);
}

bool LogCapture::waitUntil(size_t mark, const std::function<bool(const std::vector<LogEntry>&)>& done,
                           std::chrono::milliseconds timeout) {
    return waitAtMost([&] { return done(since(mark)); }, timeout);
}

bool LogCapture::waitForLine(size_t mark, spdlog::level::level_enum level, const std::string& text,
                             std::chrono::milliseconds timeout) {
    return waitAtMost([&] { return findLog(entries(), level, text, mark) >= 0; }, timeout);
}

void LogCapture::sink_it_(const spdlog::details::log_msg& msg) {
    entries_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size()), msg.thread_id});
}

void silence(spdlog::logger& logger) { logger.sinks().assign(1, std::make_shared<spdlog::sinks::null_sink_mt>()); }

size_t countLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text) {
    return std::count_if(logs.begin(), logs.end(), [&](const auto& e) { return e.level == level && e.text == text; });
}

long findLog(const std::vector<LogEntry>& logs, spdlog::level::level_enum level, const std::string& text, size_t from) {
    for (size_t i = from; i < logs.size(); ++i)
        if (logs[i].level == level && logs[i].text == text) return static_cast<long>(i);
    return -1;
}

std::vector<LogEntry> sameThreadFrom(const std::vector<LogEntry>& logs, size_t index) {
    std::vector<LogEntry> out;
    std::copy_if(logs.begin() + static_cast<long>(index), logs.end(), std::back_inserter(out),
                 [&](const auto& e) { return e.thread == logs[index].thread; });
    return out;
}

}  // namespace test_support
