// Helpers for driving UnixDomainSocketServer through real sockets: a recording server
// subclass, and the fixture that captures the process's log and gives a directory for
// socket files.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
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
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

namespace uds_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

    using UnixDomainSocketServer::addClient;
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

using test_support::frame;
using test_support::FramedClient;

// Every test logs into the capture from its first line on.
class UdsTest : public ::testing::Test {
protected:
    void SetUp() override { test_support::processLog(); }
    static test_support::LogCapture& log() { return test_support::processLog(); }
    test_support::TempDir dir_{"uds_test"};
};

}  // namespace uds_test
