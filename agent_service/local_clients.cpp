// Clients of the local servers: wake-word listening, text-to-speech requests and
// the agent's recording start and stop.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include "agent_service/velantis_agent_service.h"
#include "agent_service/wakeword_server.h"
#include "common/console_line.h"
#include "common/log_utils.h"
#include "common/utf8.h"

uint64_t g_msg_id = 0;
int g_wakeword_client_fd = -1;
int g_kokoro_tts_client_fd = -1;

namespace {

constexpr const char* kWakeWordSocketPath = "/tmp/velantis_wakeword.sock";
constexpr const char* kTtsSocketPath = "/tmp/velantis_tts.sock";
constexpr const char* kAgentSocketPath = "/tmp/velantis_agent.sock";

constexpr int32_t kTtsSpeakerId = 87;
constexpr float kTtsSpeed = 1.2f;
constexpr size_t kTtsMaxTextBytes = 65535;
constexpr int kAgentReplyTimeoutSeconds = 5;

// Guards the hand-over of the wake-word listening socket between listenWakeWord and
// stopWakeWordListening: a listener closes its own socket, so a descriptor number is
// never reused under a receive that is still running.
std::mutex s_listen_mutex;
bool s_listening = false;

int loadFd(const int& fd) { return __atomic_load_n(&fd, __ATOMIC_SEQ_CST); }
void storeFd(int& fd, int value) { __atomic_store_n(&fd, value, __ATOMIC_SEQ_CST); }
uint64_t takeMessageId() { return __atomic_fetch_add(&g_msg_id, 1, __ATOMIC_SEQ_CST); }

bool connectTo(int fd, const char* path) {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

// Receives exactly `size` bytes unless the connection ends or fails first; returns the
// count received, or -1 when the receive failed before anything arrived.
ssize_t receiveAll(int fd, void* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, static_cast<char*>(buffer) + got, size - got, MSG_WAITALL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// One receive of at most `size` bytes, repeated only when a signal interrupted it. errno is
// cleared first, so that a peer that closed the connection (0 bytes) reports no stale error.
ssize_t receiveOnce(int fd, void* buffer, size_t size) {
    ssize_t n;
    do {
        errno = 0;
        n = recv(fd, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool readPayload(void* buffer, size_t size) {
    return receiveAll(loadFd(g_wakeword_client_fd), buffer, size) == static_cast<ssize_t>(size);
}

struct AgentRequest {
    uint32_t type;
    const char* description;
    const char* opening;
    const char* connected;
    const char* send_failed;
    const char* sent;
    const char* timed_out;
    const char* succeeded;
};

// Log texts are fixed per request; fmt::runtime lets them come from the table.
bool agentRequest(const AgentRequest& r) {
    logF->logger->info(fmt::runtime(r.opening));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logF->logger->error("Failed to create agent client socket: {}", std::strerror(errno));
        return false;
    }
    if (!connectTo(fd, kAgentSocketPath)) {
        logF->logger->error("Failed to connect to agent server at {}: {}", kAgentSocketPath, std::strerror(errno));
        close(fd);
        return false;
    }
    logF->logger->info(fmt::runtime(r.connected));

    AgentCommandPayload command;
    std::memset(&command, 0, sizeof(command));
    std::strncpy(command.from, "velantis_agent_service", sizeof(command.from) - 1);
    std::strncpy(command.description, r.description, sizeof(command.description) - 1);
    std::vector<uint8_t> payload(sizeof(command));
    std::memcpy(payload.data(), &command, sizeof(command));

    const velantis::MessageHeader request = velantis::makeMessageHeader(r.type, sizeof(command), takeMessageId());
    if (!sendMessage(fd, request, payload)) {
        logF->logger->error(fmt::runtime(r.send_failed));
        close(fd);
        return false;
    }
    logF->logger->info(fmt::runtime(r.sent), static_cast<int32_t>(request.id));

    timeval timeout{kAgentReplyTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    velantis::MessageHeader reply;
    std::memset(&reply, 0, sizeof(reply));
    ssize_t n = receiveOnce(fd, &reply, sizeof(reply));

    bool ok = false;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        logF->logger->error(fmt::runtime(r.timed_out));
    } else if (n <= 0) {
        logF->logger->error("Failed to receive response or server disconnected: {}", std::strerror(errno));
    } else if (n < static_cast<ssize_t>(sizeof(reply))) {
        logF->logger->error("Received an incomplete response header.");
    } else if (reply.type == request.type && reply.id == request.id) {
        logF->logger->info(fmt::runtime(r.succeeded));
        ok = true;
    } else {
        logF->logger->error("Received an unexpected response. Type: {}, ID: {}", static_cast<int32_t>(reply.type),
                            static_cast<int32_t>(reply.id));
    }
    close(fd);
    logF->logger->info("Agent client connection closed.");
    return ok;
}

}  // namespace

// The callers make the payload's size equal to the header's length.
bool sendMessage(int fd, const velantis::MessageHeader& header, const std::vector<uint8_t>& payload) {
    ssize_t sent = send(fd, &header, sizeof(header), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof(header))) {
        velantis::consoleLine(std::cerr, "Error sending message header: ", std::strerror(errno));
        return false;
    }
    if (header.length == 0) return true;
    sent = send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(payload.size())) {
        velantis::consoleLine(std::cerr, "Error sending payload: ", std::strerror(errno));
        return false;
    }
    return true;
}

void handleMessage(const velantis::MessageHeader& header) {
    switch (header.type) {
    case velantis::WAKEWORD_EVENT: {
        WakeWordEventPayload event;
        if (!readPayload(&event, sizeof(event))) return;
        std::ostringstream lines;
        lines << "🎙️  Wake Word Detected!\n"
              << "   Angle: " << event.angle << " degrees\n"
              << "   Beam: " << event.beam << "\n"
              << "   Confidence: " << static_cast<double>(event.confidence) << "\n"
              << "   State: " << (event.state ? "STARTED" : "STOPPED") << "\n"
              << "   Timestamp: " << header.timestamp;
        velantis::consoleLine(std::cout, lines.str());
        break;
    }
    case velantis::WAKEWORD_STATE: {
        WakeWordStatePayload state;
        if (!readPayload(&state, sizeof(state))) return;
        std::string reason(state.reason, strnlen(state.reason, sizeof(state.reason)));
        std::ostringstream line;
        line << "📡 State Changed: " << static_cast<int>(state.old_state) << " -> " << static_cast<int>(state.new_state)
             << " (" << reason << ")";
        velantis::consoleLine(std::cout, line.str());
        break;
    }
    case velantis::WAKEWORD_ERROR: {
        WakeWordErrorPayload error;
        if (!readPayload(&error, sizeof(error))) return;
        std::string message(error.message, strnlen(error.message, sizeof(error.message)));
        std::ostringstream line;
        line << "❌ Error: " << error.code << " - " << message;
        velantis::consoleLine(std::cout, line.str());
        break;
    }
    default: {
        logF->logger->warn("Unknown message type: {}", header.type);
        // Drop the payload in bounded steps so the next header is read in step.
        char sink[4096];
        size_t left = header.length;
        while (left > 0) {
            size_t step = left < sizeof(sink) ? left : sizeof(sink);
            if (!readPayload(sink, step)) return;
            left -= step;
        }
        break;
    }
    }
}

namespace {

// A new socket for this listening, in g_wakeword_client_fd; -1 (logged) when none could be
// made. A socket still held from an earlier listening is released: a listener that is
// still running is woken and closes its own socket.
int claimListenSocket() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int socket_error = errno;
    {
        std::lock_guard<std::mutex> lock(s_listen_mutex);
        const int previous = loadFd(g_wakeword_client_fd);
        if (previous != -1) {
            if (s_listening) {
                shutdown(previous, SHUT_RDWR);
            } else {
                close(previous);
            }
        }
        storeFd(g_wakeword_client_fd, fd);
        if (fd >= 0) s_listening = true;
    }
    if (fd < 0) logF->logger->error("Failed to create client socket: {}", std::strerror(socket_error));
    return fd;
}

// The end of the listening on fd: its socket is closed, and taken out of
// g_wakeword_client_fd unless somebody has replaced it there since.
void finishListening(int fd) {
    std::lock_guard<std::mutex> lock(s_listen_mutex);
    if (loadFd(g_wakeword_client_fd) == fd) {
        storeFd(g_wakeword_client_fd, -1);
        s_listening = false;
    }
    close(fd);
}

// The end of the listening on fd when the server went away: its socket stays in
// g_wakeword_client_fd until stopWakeWordListening, unless somebody has replaced it there
// since (then it is closed).
void finishListeningKeepingSocket(int fd) {
    std::lock_guard<std::mutex> lock(s_listen_mutex);
    if (loadFd(g_wakeword_client_fd) == fd) {
        s_listening = false;
    } else {
        close(fd);
    }
}

}  // namespace

namespace velantis {

// By value: the signature is exported (velantis_agent_service.map).
bool listenWakeWord(
    std::function<void(const velantis::MessageHeader&)> callback) {  // NOLINT(performance-unnecessary-value-param)
    const int fd = claimListenSocket();
    if (fd < 0) return false;

    if (!connectTo(fd, kWakeWordSocketPath)) {
        logF->logger->error("Failed to connect to server: {}", std::strerror(errno));
        finishListening(fd);
        return false;
    }
    logF->logger->info("Connected to wake word server");

    for (;;) {
        if (loadFd(g_wakeword_client_fd) != fd) {
            finishListening(fd);
            return true;
        }
        velantis::MessageHeader header;
        if (receiveAll(fd, &header, sizeof(header)) != static_cast<ssize_t>(sizeof(header))) {
            if (loadFd(g_wakeword_client_fd) != fd) {
                // Woken by stopWakeWordListening.
                finishListening(fd);
                return true;
            }
            logF->logger->error("Server disconnected or socket connection invalid");
            finishListeningKeepingSocket(fd);
            return true;
        }
        if (callback) {
            callback(header);
        } else {
            handleMessage(header);
        }
    }
}

void stopWakeWordListening() {
    std::lock_guard<std::mutex> lock(s_listen_mutex);
    int fd = loadFd(g_wakeword_client_fd);
    if (fd == -1) return;
    storeFd(g_wakeword_client_fd, -1);
    if (s_listening) {
        // Wakes a receive that is blocked on it; the listener closes the socket.
        shutdown(fd, SHUT_RDWR);
    } else {
        close(fd);
    }
}

bool sendTTSRequest(const std::string& text) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    storeFd(g_kokoro_tts_client_fd, fd);
    if (fd < 0) {
        logF->logger->error("Failed to create TTS client socket: {}", std::strerror(errno));
        return false;
    }
    if (!connectTo(fd, kTtsSocketPath)) {
        logF->logger->error("Failed to connect to TTS server at {}: {}", kTtsSocketPath, std::strerror(errno));
        close(fd);
        storeFd(g_kokoro_tts_client_fd, -1);
        return false;
    }
    logF->logger->info("Connected to TTS server.");

    // The request's text_length field has 16 bits: a longer text is cut here, with a warning,
    // rather than sent as the remainder of its length modulo 65536.
    const size_t text_bytes = velantis::utf8PrefixLength(text, kTtsMaxTextBytes);
    if (text_bytes != text.size()) {
        logF->logger->warn("TTS text of {} bytes is longer than {} bytes: sending its first {} bytes", text.size(),
                           kTtsMaxTextBytes, text_bytes);
    }
    const TtsRequestPayload fixed{kTtsSpeakerId, kTtsSpeed, static_cast<uint16_t>(text_bytes)};
    std::vector<uint8_t> payload(sizeof(fixed) + text_bytes);
    std::memcpy(payload.data(), &fixed, sizeof(fixed));
    std::memcpy(payload.data() + sizeof(fixed), text.data(), text_bytes);
    const velantis::MessageHeader request = velantis::makeMessageHeader(velantis::TTS_REQUEST,
                                                                        static_cast<uint32_t>(payload.size()),
                                                                        takeMessageId());

    std::ostringstream sending;
    sending << "Sending TTS request: \"" << text << "\", sid: " << fixed.sid
            << ", speed: " << static_cast<double>(fixed.speed);
    velantis::consoleLine(std::cout, sending.str());
    if (!sendMessage(fd, request, payload)) {
        close(fd);
        return false;
    }

    velantis::MessageHeader reply;
    std::memset(&reply, 0, sizeof(reply));
    ssize_t n = receiveOnce(fd, &reply, sizeof(reply));
    if (n <= 0) {
        velantis::consoleLine(std::cerr, "Failed to receive response or server disconnected.");
    } else if (n < static_cast<ssize_t>(sizeof(reply))) {
        velantis::consoleLine(std::cerr, "Received an incomplete response header.");
    } else if (reply.type == velantis::TTS_ACK && reply.id == request.id) {
        velantis::consoleLine(std::cout, "Successfully received ACK from server.");
    } else {
        std::ostringstream line;
        line << "Received an unexpected response. Type: " << static_cast<int32_t>(reply.type) << ", ID: " << reply.id;
        velantis::consoleLine(std::cerr, line.str());
    }
    close(fd);
    velantis::consoleLine(std::cout, "Connection closed.");
    return true;
}

bool runTavrinAgent() {
    static const AgentRequest request{velantis::AGENT_START,
                                      "Request to start audio recording",
                                      "Running Tavrin Agent...",
                                      "Connected to Tavrin Agent server.",
                                      "Failed to send AGENT_START message.",
                                      "Sent AGENT_START request with id {}.",
                                      "Receive ACK for AGENT_START timed out.",
                                      "Successfully received ACK for AGENT_START."};
    return agentRequest(request);
}

bool stopTavrinAgent() {
    static const AgentRequest request{velantis::AGENT_STOP,
                                      "Request to stop audio recording",
                                      "Stopping Tavrin Agent...",
                                      "Connected to Tavrin Agent server to send STOP command.",
                                      "Failed to send AGENT_STOP message.",
                                      "Sent AGENT_STOP request with id {}.",
                                      "Receive ACK for AGENT_STOP timed out.",
                                      "Successfully received ACK for AGENT_STOP."};
    return agentRequest(request);
}

}  // namespace velantis
