// A client of the system's Unix-domain sockets, speaking their framing: a
// velantis::MessageHeader, then `length` bytes of payload. Every wait has a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/unix_domain_socket_server.h"

namespace test_support {

// The header's bytes followed by the payload's.
std::vector<uint8_t> frame(const velantis::MessageHeader& header, const std::vector<uint8_t>& payload = {});

// Whole-buffer transfers on a connected socket; false on error, end of stream or time-out
// (a negative `timeout`: none).
bool sendAll(int fd, const void* data, size_t size);
bool recvExact(int fd, void* buf, size_t size, std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

class FramedClient {
public:
    FramedClient() = default;
    // Connects to `path`, trying again every 10 ms for up to `timeout` (0: once).
    explicit FramedClient(const std::string& path, std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) {
        connect(path, timeout);
    }
    ~FramedClient() { close(); }
    FramedClient(FramedClient&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FramedClient(const FramedClient&) = delete;
    FramedClient& operator=(FramedClient other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }

    // One attempt: 0, or the errno of the failed connect.
    int connectTo(const std::string& path);
    // Tries again every 10 ms until the socket accepts or `timeout` has passed.
    bool connect(const std::string& path, std::chrono::milliseconds timeout);
    void close();
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool write(const void* data, size_t size);
    bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }
    bool send(const velantis::MessageHeader& header, const std::vector<uint8_t>& payload = {});
    // A message of `type` with `id`, stamped now, with a length of the payload's size.
    bool send(uint32_t type, uint64_t id, const std::vector<uint8_t>& payload);

    // Exactly `size` bytes; false on end of stream, error or time-out.
    bool readExact(void* data, size_t size, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::optional<std::vector<uint8_t>> readBytes(size_t size,
                                                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::optional<std::pair<velantis::MessageHeader, std::vector<uint8_t>>> readMessage(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The next header alone (its payload stays unread).
    std::optional<velantis::MessageHeader> readHeader(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // True once the server has ended the connection (unread bytes are discarded).
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when no byte arrives within `window`.
    bool quietFor(std::chrono::milliseconds window);

private:
    int fd_ = -1;
};

}  // namespace test_support
