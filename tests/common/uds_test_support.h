// Helpers for driving UnixDomainSocketServer through real sockets: a log
// capture on the process logger, a private directory for socket files, a
// recording server subclass and a blocking test client.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <spdlog/sinks/base_sink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/log_utils.h"
#include "common/unix_domain_socket_server.h"
#include "tests/support/framed_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace uds_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Copies every line the process logger writes, so tests can look for them.
class LogCapture : public test_support::LogCapture {
public:
    using Line = test_support::LogEntry;

    static LogCapture& get() {
        static std::shared_ptr<LogCapture> sink = test_support::attach(*logF->logger, std::make_shared<LogCapture>());
        return *sink;
    }

    std::vector<Line> lines() { return entries(); }
};

// A private directory for socket files, removed with everything in it.
class TempDir : public test_support::TempDir {
public:
    TempDir() : test_support::TempDir("uds_test") {}
};

inline bool fileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

struct Received {
    int fd;
    velantis::MessageHeader header;
    std::vector<uint8_t> payload;
};

// Records every hook call; optionally echoes each message back to its sender.
class RecordingServer : public UnixDomainSocketServer {
public:
    explicit RecordingServer(std::string path, bool echo = true)
        : UnixDomainSocketServer(std::move(path)), echo_(echo) {}
    // Stopped before the subclass part goes: otherwise the server thread may still call a hook
    // (a client closing at the same moment) while the object is being torn down.
    ~RecordingServer() override {
        if (stop_on_destroy) stop();
    }

    bool init_result = true;
    bool stop_on_destroy = true;

    std::vector<Received> messages() {
        std::lock_guard<std::mutex> g(m_);
        return messages_;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    bool waitMessages(size_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, timeout, [&] { return messages_.size() >= n; });
    }
    bool waitEvent(const std::string& e, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, timeout, [&] { return std::find(events_.begin(), events_.end(), e) != events_.end(); });
    }
    // Descriptor of the i-th client accepted, -1 if there is none yet.
    int connectedFd(size_t i) {
        std::lock_guard<std::mutex> g(m_);
        return i < connected_.size() ? connected_[i] : -1;
    }
    bool waitConnected(size_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, timeout, [&] { return connected_.size() >= n; });
    }
    std::thread::native_handle_type serverThread() { return server_thread_.native_handle(); }

    using UnixDomainSocketServer::broadcastMessage;
    using UnixDomainSocketServer::sendMessage;

protected:
    bool onInit() override {
        record("init");
        return init_result;
    }
    void onCleanup() override { record("cleanup"); }
    void onClientConnected(int fd) override {
        std::lock_guard<std::mutex> g(m_);
        connected_.push_back(fd);
        events_.push_back("connected " + std::to_string(fd));
        cv_.notify_all();
    }
    void onClientDisconnected(int fd) override { record("disconnected " + std::to_string(fd)); }
    void handleClientMessage(int fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override {
        {
            // Recorded before the echo, so a client holding its reply sees the record.
            std::lock_guard<std::mutex> g(m_);
            messages_.push_back({fd, header, payload});
            events_.push_back("message " + std::to_string(header.id));
            cv_.notify_all();
        }
        if (echo_) sendMessage(fd, header, payload.empty() ? nullptr : payload.data());
    }

private:
    void record(const std::string& e) {
        std::lock_guard<std::mutex> g(m_);
        events_.push_back(e);
        cv_.notify_all();
    }

    bool echo_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Received> messages_;
    std::vector<std::string> events_;
    std::vector<int> connected_;
};

inline velantis::MessageHeader makeHeader(uint32_t type, uint32_t length, uint64_t id) {
    velantis::MessageHeader h{};
    h.type = type;
    h.length = length;
    h.timestamp = UnixDomainSocketServer::getCurrentTimestamp();
    h.id = id;
    return h;
}

using test_support::frame;

// A blocking client on one connection; every wait has a deadline.
class Client : public test_support::FramedClient {
public:
    Client() = default;
    explicit Client(const std::string& path) { connectTo(path); }
};

// Every test logs into the capture from its first line on.
class UdsTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::get(); }
    LogCapture& log() { return LogCapture::get(); }
    TempDir dir_;
};

}  // namespace uds_test
