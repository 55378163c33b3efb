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

#include "log_utils.h"
#include "unix_domain_socket_server.h"

namespace uds_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Copies every line the process logger writes, so tests can look for them.
class LogCapture : public spdlog::sinks::base_sink<std::mutex> {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    static LogCapture& get() {
        static std::shared_ptr<LogCapture> sink = [] {
            auto s = std::make_shared<LogCapture>();
            logF->logger->sinks().push_back(s);
            return s;
        }();
        return *sink;
    }

    std::vector<Line> lines() {
        std::lock_guard<std::mutex> g(mutex_);
        return lines_;
    }

    // Lines at `level` that contain every one of `parts`.
    size_t count(spdlog::level::level_enum level, const std::vector<std::string>& parts) {
        size_t n = 0;
        for (const auto& l : lines()) {
            if (l.level != level) continue;
            bool all = true;
            for (const auto& p : parts) all = all && l.text.find(p) != std::string::npos;
            if (all) ++n;
        }
        return n;
    }

    bool waitFor(spdlog::level::level_enum level, const std::vector<std::string>& parts,
                 std::chrono::milliseconds timeout = 10s) {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (count(level, parts) > 0) return true;
            std::this_thread::sleep_for(5ms);
        }
        return count(level, parts) > 0;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<Line> lines_;
};

// A private directory for socket files, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/uds_test_XXXXXX";
        char* p = ::mkdtemp(tmpl);
        if (p == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = p;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
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

inline std::vector<uint8_t> frame(const velantis::MessageHeader& h, const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> out(sizeof(h));
    std::memcpy(out.data(), &h, sizeof(h));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A blocking client on one connection; every wait has a deadline.
class Client {
public:
    Client() = default;
    explicit Client(const std::string& path) { connectTo(path); }
    ~Client() { close(); }
    Client(Client&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Client& operator=(Client&& o) noexcept {
        if (this != &o) {
            close();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }

    // Returns 0 or the errno of the failed connect.
    int connectTo(const std::string& path) {
        close();
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
            int e = errno;
            close();
            return e;
        }
        return 0;
    }
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }
    bool write(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (size > 0) {
            ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool send(const velantis::MessageHeader& h, const std::vector<uint8_t>& payload = {}) {
        return write(frame(h, payload));
    }

    // Reads exactly `size` bytes; false on end of stream, error or time-out.
    bool readExact(void* data, size_t size, std::chrono::milliseconds timeout = 10s) {
        auto deadline = Clock::now() + timeout;
        auto* p = static_cast<uint8_t*>(data);
        while (size > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd pfd{fd_, POLLIN, 0};
            int r = ::poll(&pfd, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            ssize_t n = ::recv(fd_, p, size, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    std::optional<std::pair<velantis::MessageHeader, std::vector<uint8_t>>> readMessage(
        std::chrono::milliseconds timeout = 10s) {
        velantis::MessageHeader h{};
        if (!readExact(&h, sizeof(h), timeout)) return std::nullopt;
        std::vector<uint8_t> payload(h.length);
        if (h.length != 0 && !readExact(payload.data(), payload.size(), timeout)) return std::nullopt;
        return std::make_pair(h, std::move(payload));
    }

    // True once the server has ended the connection (any unread bytes are discarded).
    bool waitClosed(std::chrono::milliseconds timeout = 10s) {
        auto deadline = Clock::now() + timeout;
        uint8_t buf[4096];
        while (Clock::now() < deadline) {
            pollfd pfd{fd_, POLLIN, 0};
            int r = ::poll(&pfd, 1, 50);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;
            ssize_t n = ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
            if (n == 0) return true;
            if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
        }
        return false;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Every test logs into the capture from its first line on.
class UdsTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::get(); }
    LogCapture& log() { return LogCapture::get(); }
    TempDir dir_;
};

}  // namespace uds_test
