// Helpers of the speech tests: a log capture on the process's logger, a framed Unix-socket
// client that connects at once, and temporary directories.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <spdlog/sinks/base_sink.h>

#include "tests/rig/agent/agent_runner.h"

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
#include "tests/support/framed_client.h"
#include "tests/support/log_capture.h"

namespace speech_test {

// Every message the process logs (at any level the logger passes), in order.
class LogCapture : public test_support::LogCapture {
public:
    static std::shared_ptr<LogCapture> install() {
        return test_support::attach(*logF->logger, std::make_shared<LogCapture>());
    }
    std::vector<std::string> lines() { return texts(); }
};

using test_support::nowMs;

// A framed client on a Unix-domain socket, connected (retrying for up to 10 s) on construction.
class Client : public test_support::FramedClient {
public:
    explicit Client(const std::string& path) { connect(path, std::chrono::seconds(10)); }

    bool ok() const { return connected(); }
    bool sendRaw(const void* data, size_t n) { return write(data, n); }
    // Exactly n bytes, or nothing when the deadline passes or the peer closes first.
    std::optional<std::vector<uint8_t>> readN(size_t n, std::chrono::milliseconds timeout) {
        std::vector<uint8_t> out(n);
        if (!readExact(out.data(), n, timeout)) return std::nullopt;
        return out;
    }
    std::optional<velantis::MessageHeader> readHeader(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return FramedClient::readHeader(timeout);
    }
};

// A directory of its own, removed with its content.

}  // namespace speech_test
