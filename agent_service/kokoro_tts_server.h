// Local text-to-speech server on "/tmp/velantis_tts.sock": each TTS_REQUEST is spoken by
// the speech engine (tts_engine.h) and acknowledged.
#pragma once

#include <cstdint>
#include <vector>

#include "common/unix_domain_socket_server.h"

class KokoroTtsServer : public UnixDomainSocketServer {
public:
    KokoroTtsServer();
    ~KokoroTtsServer() override;

    // Fills the engine's configuration and starts this start's background load.
    bool onInit() override;
    // Closes the engine's playback device (reopened by the next speech).
    void onCleanup() override;
    // Validates one TTS_REQUEST, speaks it and acknowledges it.
    void handleClientMessage(int client_fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override;
    void sendAck(int client_fd, uint64_t id);
};
