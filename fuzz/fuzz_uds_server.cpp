// Arbitrary byte streams from a client into the Unix-domain socket server's framing.
// Input: one control byte (number of writes, pause between them), one byte per cut
// point, then the bytes the client writes. The server echoes every whole message it
// hands to its handler; the client checks the handler calls and the echo against the
// messages the stream holds.
#include "common/unix_domain_socket_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "tests/support/framed_client.h"

namespace {

using velantis::MessageHeader;

// Echoes every message; keeps the bytes of those it was handed.
class EchoServer : public UnixDomainSocketServer {
public:
    using UnixDomainSocketServer::UnixDomainSocketServer;

    void handleClientMessage(int client_fd, const MessageHeader& header, const std::vector<uint8_t>& payload) override {
        if (payload.size() != header.length) __builtin_trap();
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto bytes = test_support::frame(header, payload);
            handed.insert(handed.end(), bytes.begin(), bytes.end());
        }
        sendMessage(client_fd, header, payload.empty() ? nullptr : payload.data());
    }

    std::mutex mutex;
    std::vector<uint8_t> handed;
};

const std::string kSocketPath = "/tmp/velantis-fuzz-uds-" + std::to_string(getpid()) + ".sock";
EchoServer* g_server = nullptr;

// Reads until the server closes the connection; false when that takes too long.
bool readToEnd(int fd, std::vector<uint8_t>& out, bool& reset) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    uint8_t buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reset = errno == ECONNRESET;
            return reset;
        }
        if (n == 0) return true;
        out.insert(out.end(), buf, buf + n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    g_server = new EchoServer(kSocketPath);
    if (!g_server->start()) __builtin_trap();
    std::atexit([] { g_server->stop(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    const size_t writes = 1 + (control & 3);
    const bool pause = (control & 0x80) != 0;
    size_t offset = 1;
    std::vector<size_t> cuts;
    for (size_t i = 1; i < writes && offset < size; ++i) cuts.push_back(data[offset++]);
    const uint8_t* stream = data + offset;
    const size_t length = size - offset;
    for (size_t& cut : cuts) cut = length * cut / 256;
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(length);

    // The whole messages at the front of the stream, as the server must hand them on.
    std::vector<uint8_t> expected_echo;
    for (size_t at = 0; length - at >= sizeof(MessageHeader);) {
        MessageHeader header;
        std::memcpy(&header, stream + at, sizeof header);
        if (header.length > velantis::kMaxPayloadLength) break;
        if (length - at - sizeof header < header.length) break;
        const size_t whole = sizeof header + header.length;
        expected_echo.insert(expected_echo.end(), stream + at, stream + at + whole);
        at += whole;
    }

    test_support::FramedClient client(kSocketPath);
    if (!client.connected()) __builtin_trap();
    size_t from = 0;
    for (size_t cut : cuts) {
        // The server may drop the client (oversized header) before the rest is written.
        client.write(stream + from, cut - from);
        from = cut;
        if (pause) usleep(100);
    }
    shutdown(client.fd(), SHUT_WR);
    std::vector<uint8_t> echo;
    bool reset = false;
    if (!readToEnd(client.fd(), echo, reset)) __builtin_trap();  // the server kept the connection
    {
        std::lock_guard<std::mutex> lock(g_server->mutex);
        if (g_server->handed != expected_echo) __builtin_trap();
        g_server->handed.clear();
    }
    // A reset (the server dropped the client with bytes unread) may cut the echo short.
    if (reset ? echo.size() > expected_echo.size() || !std::equal(echo.begin(), echo.end(), expected_echo.begin())
              : echo != expected_echo)
        __builtin_trap();
    return 0;
}
