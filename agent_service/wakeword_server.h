// Wake-word event server on "/tmp/velantis_wakeword.sock": broadcasts each wake-up of
// the microphone-array link as WAKEWORD_EVENT, tells each new client the state, and
// acknowledges every message with WAKEWORD_ACK. Every message carries id 0.
//
// End of life. orvanite::init_orvanite runs once per process and cannot be stopped,
// so the link does not belong to one server object: the first server that starts
// runs it on its init_thread, and the link delivers each wake-up to whichever server
// is currently started (or to nobody between two servers). The supervisor start()s the
// server, waits for the service's shutdown and then calls stop(), which ends it like any
// other: onCleanup unregisters the server and hands a still-reading link thread over to
// the process (detached; it touches no server afterwards), or joins it when the link
// has already returned. A server built later in the same process serves the same
// running link; none starts a second one.
// Destroying a server that was not stopped stops it first, so it is always safe.
// The initial state (sent on the select thread) and a broadcast (sent on the link
// thread) never interleave on one socket: the base sends every message to a client in
// order through that client's own queue.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// The payload records (WakeWordEventPayload, WakeWordStatePayload, WakeWordErrorPayload) come
// with the message header.
#include "../common/unix_domain_socket_server.h"

class WakeWordServer : public UnixDomainSocketServer {
public:
    WakeWordServer();
    ~WakeWordServer() override;

    // Starts the process's link on init_thread (first server only) and registers this
    // server as the receiver of wake-ups.
    bool onInit() override;
    // Unregisters this server; joins init_thread if the link has returned, else
    // leaves the link reading for the rest of the process.
    void onCleanup() override;
    void onClientConnected(int client_fd) override;
    void handleClientMessage(int client_fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override;

    void onWakeWordDetected(double angle, int beam);
    void broadcastWakeWordEvent(double angle, int beam, float confidence, uint8_t state);
    void sendStateChange(int client_fd, uint8_t old_state, uint8_t new_state, const char* reason);
    void broadcastStateChange(uint8_t old_state, uint8_t new_state, const char* reason);
    void sendAck(int client_fd);
    void keywordResponse(double angle, int beam);
    void byeResponse();

    bool started;
    std::thread init_thread;

private:
    void releaseLink();
};
