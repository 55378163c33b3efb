// A UnixDomainSocketServer that records its hook calls, and the fixture of the socket-server
// suites: the process's log capture, a directory of the test's own and a server in it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "common/unix_domain_socket_server.h"
#include "tests/support/framed_client.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

namespace uds_test {

using namespace std::chrono_literals;
using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using test_support::frame;
using test_support::FramedClient;
using velantis::makeMessageHeader;

using Message = std::pair<velantis::MessageHeader, std::vector<uint8_t>>;

// Records every hook call; optionally echoes each message back to its sender. The on_ hooks,
// set before start(), run on the server thread before the record.
class RecordingServer : public UnixDomainSocketServer {
public:
    explicit RecordingServer(std::string path) : UnixDomainSocketServer(std::move(path)) {}
    // Stopped before the subclass part goes: otherwise the server thread may still call a hook
    // (a client closing at the same moment) while the object is being torn down.
    ~RecordingServer() override {
        if (stop_on_destroy) stop();
    }

    bool echo = true;
    bool init_result = true;
    bool stop_on_destroy = true;
    std::function<void(int fd)> on_connect;
    std::function<void(const velantis::MessageHeader&)> on_message;
    std::function<void()> on_cleanup;

    std::vector<Message> messages() { return locked(messages_); }
    std::vector<std::string> events() { return locked(events_); }
    bool waitMessages(size_t n) {
        return wait([&] { return messages_.size() >= n; });
    }
    bool waitEvent(const std::string& e) {
        return wait([&] { return std::count(events_.begin(), events_.end(), e); });
    }
    bool waitConnected(size_t n) {
        return wait([&] { return connected_.size() >= n; });
    }
    // Descriptor of the i-th client accepted, -1 if there is none yet.
    int connectedFd(size_t i) {
        const auto fds = locked(connected_);
        return i < fds.size() ? fds[i] : -1;
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
    void onCleanup() override {
        if (on_cleanup) on_cleanup();
        record("cleanup");
    }
    void onClientConnected(int fd) override {
        if (on_connect) on_connect(fd);
        record("connected " + std::to_string(fd), [&] { connected_.push_back(fd); });
    }
    void onClientDisconnected(int fd) override { record("disconnected " + std::to_string(fd)); }
    void handleClientMessage(int fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override {
        if (on_message) on_message(header);
        // Recorded before the echo, so a client holding its reply sees the record.
        record("message " + std::to_string(header.id), [&] { messages_.push_back({header, payload}); });
        if (echo) sendMessage(fd, header, payload.empty() ? nullptr : payload.data());
    }

private:
    template <class T>
    T locked(const T& v) {
        std::lock_guard<std::mutex> g(m_);
        return v;
    }
    void record(
        const std::string& e, const std::function<void()>& also = [] {}) {
        std::lock_guard<std::mutex> g(m_);
        events_.push_back(e);
        also();
        cv_.notify_all();
    }
    bool wait(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, 10s, done);
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
    std::vector<std::string> events_;
    std::vector<int> connected_;
};

// The id of the next message `c` reads; none when none came.
inline std::optional<uint64_t> readId(FramedClient& c, std::chrono::milliseconds timeout = 10s) {
    auto m = c.readMessage(timeout);
    return m ? std::optional<uint64_t>(m->first.id) : std::nullopt;
}

// Sends a message of `type` with `id` and returns the id of the message that comes back.
inline std::optional<uint64_t> replyId(FramedClient& c, uint32_t type, uint64_t id,
                                       const std::vector<uint8_t>& payload = {},
                                       std::chrono::milliseconds timeout = 10s) {
    return c.send(type, id, payload) ? readId(c, timeout) : std::nullopt;
}

// True when `m` is there, with `id` and `payload`.
inline bool got(const std::optional<Message>& m, uint64_t id, const std::vector<uint8_t>& payload) {
    return m && m->first.id == id && m->second == payload;
}

class UdsTest : public ::testing::Test {
protected:
    // Every test logs into the capture from its first line on.
    test_support::LogCapture& log_ = test_support::processLog();
    test_support::TempDir dir_{"uds_test"};
    const std::string path_ = dir_.file("server.sock");
    RecordingServer server_{path_};  // started by the tests that use it

    // A client as the server's log lines name it.
    std::string client(int fd) const { return "client fd=" + std::to_string(fd) + " on path " + path_; }
};

}  // namespace uds_test
