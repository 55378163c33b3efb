// Helpers for the service library's tests: the messages of its sockets, a scripted peer on a
// Unix-domain socket, and the order of logged lines.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/unix_domain_socket_server.h"
#include "tests/support/framed_client.h"
#include "tests/support/log_capture.h"

namespace service_test {

// A header with a fixed stamp, which the library's printouts show.
inline velantis::MessageHeader header(uint32_t type, uint32_t length, uint64_t id) {
    velantis::MessageHeader h = velantis::makeMessageHeader(type, length, id);
    h.timestamp = 1700000000123ULL;
    return h;
}

// Such a header with the payload's length, and the payload.
inline bool sendMsg(int fd, uint32_t type, uint64_t id, const std::vector<uint8_t>& payload = {}) {
    auto bytes = test_support::frame(header(type, static_cast<uint32_t>(payload.size()), id), payload);
    return test_support::sendAll(fd, bytes.data(), bytes.size());
}

// A TTS_REQUEST payload: speaker, speed, text length (`text_length` when not negative), the
// text, then `extra` bytes.
inline std::vector<uint8_t> ttsRequest(int32_t sid, float speed, const std::string& text, size_t extra = 0,
                                       int text_length = -1) {
    std::vector<uint8_t> p(10 + text.size() + extra, 0xEE);
    uint16_t len = static_cast<uint16_t>(text_length >= 0 ? text_length : static_cast<int>(text.size()));
    std::memcpy(p.data(), &sid, 4);
    std::memcpy(p.data() + 4, &speed, 4);
    std::memcpy(p.data() + 8, &len, 2);
    std::memcpy(p.data() + 10, text.data(), text.size());
    return p;
}

// The wake-word server's messages: a state change, and a wake-up seen with confidence 0.9.
inline std::vector<uint8_t> statePayload(uint8_t from, uint8_t to, const std::string& reason) {
    std::vector<uint8_t> p(66, 0);
    p[0] = from;
    p[1] = to;
    std::memcpy(p.data() + 2, reason.data(), std::min<size_t>(reason.size(), 64));
    return p;
}
inline std::vector<uint8_t> eventPayload(double angle, int32_t beam, bool started) {
    std::vector<uint8_t> p(17);
    const float confidence = 0.9f;
    std::memcpy(p.data(), &angle, 8);
    std::memcpy(p.data() + 8, &beam, 4);
    std::memcpy(p.data() + 12, &confidence, 4);
    p[16] = started ? 1 : 0;
    return p;
}

// The lines logged from entry `mark` on, each at or after the one before it.
inline void expectInOrder(test_support::LogCapture& log, size_t mark, std::initializer_list<std::string> lines) {
    for (const auto& line : lines) {
        const long at = log.find(line, mark);
        ASSERT_GE(at, 0) << line;
        mark = static_cast<size_t>(at);
    }
}

// One received request.
struct Request {
    velantis::MessageHeader header{};
    std::string payload;
};

inline bool recvMsg(int fd, Request& r) {
    if (!test_support::recvExact(fd, &r.header, sizeof(r.header))) return false;
    r.payload.assign(r.header.length, '\0');
    return r.header.length == 0 || test_support::recvExact(fd, &r.payload[0], r.payload.size());
}

// A listening socket at a fixed path whose connections are served one after another
// by `serve` on a thread of its own.
class FakeServer {
public:
    FakeServer(std::string path, std::function<void(int)> serve) : path_(std::move(path)) {
        ::unlink(path_.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && ::listen(fd_, 8) == 0;
        if (!ok_) return;
        thread_ = std::thread([this, serve = std::move(serve)] {
            // Until the destructor shuts the listening socket down.
            for (int c; (c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;) {
                if (c < 0) continue;
                serve(c);
                ::close(c);
            }
        });
    }
    ~FakeServer() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool ok() const { return ok_; }

private:
    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
    std::thread thread_;
};

}  // namespace service_test
