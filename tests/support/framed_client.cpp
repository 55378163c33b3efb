#include "tests/support/framed_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/files.h"

namespace test_support {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> frame(const velantis::MessageHeader& header, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(sizeof(header) + payload.size());
    std::memcpy(out.data(), &header, sizeof(header));
    if (!payload.empty()) std::memcpy(out.data() + sizeof(header), payload.data(), payload.size());
    return out;
}

bool sendAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool recvExact(int fd, void* buf, size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    auto* p = static_cast<uint8_t*>(buf);
    while (size > 0 && fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (timeout.count() >= 0 && left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, timeout.count() < 0 ? -1 : static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return size == 0;
}

int FramedClient::connectTo(const std::string& path) {
    close();
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return errno;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        const int e = errno;
        close();
        return e;
    }
    return 0;
}

bool FramedClient::connect(const std::string& path, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return connectTo(path) == 0; }, timeout);
}

void FramedClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool FramedClient::write(const void* data, size_t size) { return fd_ >= 0 && sendAll(fd_, data, size); }

bool FramedClient::send(const velantis::MessageHeader& header, const std::vector<uint8_t>& payload) {
    return write(frame(header, payload));
}

bool FramedClient::send(uint32_t type, uint64_t id, const std::vector<uint8_t>& payload) {
    return send(velantis::makeMessageHeader(type, static_cast<uint32_t>(payload.size()), id), payload);
}

bool FramedClient::readExact(void* data, size_t size, std::chrono::milliseconds timeout) {
    return recvExact(fd_, data, size, timeout);
}

std::optional<std::vector<uint8_t>> FramedClient::readBytes(size_t size, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out(size);
    return readExact(out.data(), size, timeout) ? std::optional(std::move(out)) : std::nullopt;
}

std::optional<std::pair<velantis::MessageHeader, std::vector<uint8_t>>> FramedClient::readMessage(
    std::chrono::milliseconds timeout) {
    const auto h = readHeader(timeout);
    if (!h) return std::nullopt;
    std::vector<uint8_t> payload(h->length);
    if (h->length != 0 && !readExact(payload.data(), payload.size(), timeout)) return std::nullopt;
    return std::make_pair(*h, std::move(payload));
}

std::optional<velantis::MessageHeader> FramedClient::readHeader(std::chrono::milliseconds timeout) {
    velantis::MessageHeader h{};
    return readExact(&h, sizeof(h), timeout) ? std::optional(h) : std::nullopt;
}

bool FramedClient::waitClosed(std::chrono::milliseconds timeout) {
    const auto closed = [this] {
        uint8_t buf[4096];
        ssize_t n = 1;
        while (n > 0) n = ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
        return n == 0 || (errno != EAGAIN && errno != EINTR);
    };
    return waitUntil(closed, timeout, std::chrono::milliseconds(5));
}

bool FramedClient::quietFor(std::chrono::milliseconds window) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(window.count())) == 0;
}

}  // namespace test_support
