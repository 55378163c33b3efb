// Shared helpers of the speech tests: a log capture on the process's logger, a framed
// Unix-socket client, and temporary directories.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <spdlog/sinks/base_sink.h>

#include "agent_runner.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log_utils.h"
#include "common/unix_domain_socket_server.h"

namespace speech_test {

// Every message the process logs (at any level the logger passes), in order.
class LogCapture : public spdlog::sinks::base_sink<std::mutex> {
public:
    static std::shared_ptr<LogCapture> install() {
        auto sink = std::make_shared<LogCapture>();
        logF->logger->sinks().push_back(sink);
        return sink;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        return lines_;
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        return lines_.size();
    }
    // Lines logged from index `from` on that contain `text`.
    size_t count(const std::string& text, size_t from = 0) {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        size_t n = 0;
        for (size_t i = from; i < lines_.size(); ++i) n += lines_[i].find(text) != std::string::npos;
        return n;
    }
    // Index of the first line from `from` on that contains `text`, or -1.
    long find(const std::string& text, size_t from = 0) {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].find(text) != std::string::npos) return static_cast<long>(i);
        return -1;
    }
    bool waitFor(const std::string& text, size_t from = 0,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (find(text, from) < 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        lines_.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {}

private:
    std::mutex lines_mutex_;
    std::vector<std::string> lines_;
};

inline uint64_t nowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// A framed client on a Unix-domain socket.
class Client {
public:
    explicit Client(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool sendRaw(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (n > 0) {
            ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    bool send(uint32_t type, uint64_t id, const std::vector<uint8_t>& payload) {
        velantis::MessageHeader h{};
        h.type = type;
        h.length = static_cast<uint32_t>(payload.size());
        h.timestamp = nowMs();
        h.id = id;
        const auto* head = reinterpret_cast<const uint8_t*>(&h);
        std::vector<uint8_t> bytes(head, head + sizeof(h));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return sendRaw(bytes.data(), bytes.size());
    }
    // Exactly n bytes, or nothing when the deadline passes or the peer closes first.
    std::optional<std::vector<uint8_t>> readN(size_t n, std::chrono::milliseconds timeout) {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r <= 0) continue;
            ssize_t k = ::recv(fd_, out.data() + got, n - got, 0);
            if (k <= 0) return std::nullopt;
            got += static_cast<size_t>(k);
        }
        return out;
    }
    std::optional<velantis::MessageHeader> readHeader(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto bytes = readN(sizeof(velantis::MessageHeader), timeout);
        if (!bytes) return std::nullopt;
        velantis::MessageHeader h;
        std::memcpy(&h, bytes->data(), sizeof(h));
        return h;
    }
    // Whether any byte arrives within the window.
    bool quietFor(std::chrono::milliseconds window) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(window.count())) == 0;
    }

private:
    int fd_ = -1;
};

// A directory of its own, removed with its content.
using agent_rig::TempDir;

}  // namespace speech_test
