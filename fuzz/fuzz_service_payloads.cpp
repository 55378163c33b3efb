// Payloads of the service library's local messages: a TTS_REQUEST (or any message) into
// the speech server's handler, any message into the wake-word server's handler, and the
// wake-word client's handling of what the server sends it.
// Input: one selector byte, a 24-byte header, then the payload.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "agent_service/kokoro_tts_server.h"
#include "agent_service/velantis_agent_service.h"
#include "agent_service/wakeword_server.h"
#include "fuzz/fuzz_common.h"

namespace {

using velantis::MessageHeader;

// A connected socket pair: fds[0] the code's end, fds[1] the harness's.
struct Pair {
    int fds[2];
    Pair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    }
    ~Pair() {
        close(fds[0]);
        close(fds[1]);
    }
};

// The servers are only constructed: their handlers are called directly. Each has one
// client, the code's end of a pair taken as if accepted. No model is loaded, so the
// speech engine answers at once. One of each for the whole run.
template <typename Server>
struct Served : Server {
    using UnixDomainSocketServer::addClient;
    Pair pair;
    const int client = pair.fds[0];
    const int peer = pair.fds[1];
    Served() { addClient(client); }
};

template <typename Server>
Served<Server>& served() {
    static auto* server = new Served<Server>();
    return *server;
}

// Everything waiting on fd (its peer has finished writing or is idle).
std::vector<uint8_t> drain(int fd) {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.insert(out.end(), buf, buf + n);
    }
}

// The replies on fd must be exactly `count` headers of `type` with `id`.
void expectReplies(int fd, size_t count, uint32_t type, uint64_t id) {
    const std::vector<uint8_t> bytes = drain(fd);
    if (bytes.size() != count * sizeof(MessageHeader)) __builtin_trap();
    for (size_t at = 0; at < bytes.size(); at += sizeof(MessageHeader)) {
        MessageHeader reply;
        std::memcpy(&reply, bytes.data() + at, sizeof reply);
        if (reply.type != type || reply.id != id || reply.length != 0) __builtin_trap();
    }
}

void speechServer(MessageHeader header, const std::vector<uint8_t>& payload, bool force_type) {
    if (force_type) header.type = TTS_REQUEST;
    header.length = static_cast<uint32_t>(payload.size());  // as the base server hands it on
    auto& server = served<KokoroTtsServer>();
    server.handleClientMessage(server.client, header, payload);
    bool well_formed = false;
    if (header.type == TTS_REQUEST && payload.size() >= sizeof(TtsRequestPayload)) {
        TtsRequestPayload request;
        std::memcpy(&request, payload.data(), sizeof request);
        well_formed = sizeof(TtsRequestPayload) + request.text_length <= payload.size();
    }
    expectReplies(server.peer, well_formed ? 1 : 0, TTS_ACK, header.id);
}

void wakeWordServerMessage(MessageHeader header, const std::vector<uint8_t>& payload) {
    header.length = static_cast<uint32_t>(payload.size());
    auto& server = served<WakeWordServer>();
    server.handleClientMessage(server.client, header, payload);
    expectReplies(server.peer, 1, WAKEWORD_ACK, 0);
}

// The client reads the payload of `header` from the socket; the server's side is closed
// after the bytes, so a short payload ends the reading instead of blocking it.
void wakeWordClient(MessageHeader header, const std::vector<uint8_t>& payload, uint8_t selector) {
    static const uint32_t kTypes[] = {WAKEWORD_EVENT, WAKEWORD_STATE, WAKEWORD_ERROR, WAKEWORD_ACK};
    if (selector & 0x20) header.type = kTypes[(selector >> 3) & 3];
    if (selector & 0x40) header.length = static_cast<uint32_t>(payload.size());
    Pair pair;
    if (!payload.empty() &&
        send(pair.fds[1], payload.data(), payload.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(payload.size()))
        __builtin_trap();
    shutdown(pair.fds[1], SHUT_WR);
    g_wakeword_client_fd = pair.fds[0];
    handleMessage(header);
    g_wakeword_client_fd = -1;

    size_t wanted = header.length;
    if (header.type == WAKEWORD_EVENT) wanted = sizeof(WakeWordEventPayload);
    if (header.type == WAKEWORD_STATE) wanted = sizeof(WakeWordStatePayload);
    if (header.type == WAKEWORD_ERROR) wanted = sizeof(WakeWordErrorPayload);
    // Exactly the message's bytes are taken, so the next header is read in step.
    const size_t left = drain(pair.fds[0]).size();
    if (payload.size() - left != std::min(wanted, payload.size())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceOutput();
    served<KokoroTtsServer>();
    drain(served<WakeWordServer>().peer);  // its initial state
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + sizeof(MessageHeader)) return 0;
    const uint8_t selector = data[0];
    MessageHeader header;
    std::memcpy(&header, data + 1, sizeof header);
    const std::vector<uint8_t> payload(data + 1 + sizeof header, data + size);
    switch (selector % 3) {
    case 0:
        speechServer(header, payload, (selector & 0x80) != 0);
        break;
    case 1:
        wakeWordServerMessage(header, payload);
        break;
    default:
        wakeWordClient(header, payload, selector);
        break;
    }
    return 0;
}
