// The agent process: a control server on the agent socket that starts and stops recording.
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/audio_recorder.h"
#include "common/log_utils.h"
#include "common/unix_domain_socket_server.h"

namespace {

struct AgentCommandPayload {
    char from[64];
    char description[256];
};
static_assert(sizeof(AgentCommandPayload) == 320, "AgentCommandPayload is 320 bytes");

// A field ends at its first NUL or at its last byte.
std::string field_text(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

}  // namespace

class Tavrin_Agent : public UnixDomainSocketServer {
public:
    Tavrin_Agent() : UnixDomainSocketServer("/tmp/velantis_agent.sock") {}
    ~Tavrin_Agent() override = default;

protected:
    void handleClientMessage(int fd, const velantis::MessageHeader& header,
                             const std::vector<uint8_t>& payload) override {
        switch (header.type) {
        case AGENT_START:
            if (!readCommand(fd, header, payload, "AGENT_START")) return;
            if (is_recording_.load()) {
                logF->logger->warn("Audio recording is already in progress.");
            } else {
                logF->logger->info("Starting audio recording...");
                if (record_thread_.joinable()) record_thread_.join();
                is_recording_.store(true);
                record_thread_ = std::thread([this] { recordingThread(); });
            }
            reply(fd, header);
            break;
        case AGENT_STOP:
            if (!readCommand(fd, header, payload, "AGENT_STOP")) return;
            if (is_recording_.load()) {
                logF->logger->info("Stopping audio recording...");
                auto& recorder = velantis::audio_recorder::Instance(16000, 1);
                recorder.stop_record();
                if (record_thread_.joinable()) record_thread_.join();
                // The thread that this stop was meant for has ended: a new one starts afresh.
                recorder.clear_stop();
                logF->logger->info("Audio recording stopped.");
            } else {
                logF->logger->warn("Audio recording is not running.");
            }
            reply(fd, header);
            break;
        default:
            break;
        }
    }

private:
    bool readCommand(int fd, const velantis::MessageHeader& header, const std::vector<uint8_t>& payload,
                     const char* name) {
        if (payload.size() != sizeof(AgentCommandPayload)) {
            logF->logger->warn("Received malformed {} message from fd={}", name, fd);
            return false;
        }
        AgentCommandPayload cmd;
        std::memcpy(&cmd, payload.data(), sizeof(cmd));
        logF->logger->info("Received {} from: {}, description: {}", name, field_text(cmd.from, sizeof(cmd.from)),
                           field_text(cmd.description, sizeof(cmd.description)));
        return true;
    }

    void reply(int fd, const velantis::MessageHeader& request) {
        velantis::MessageHeader answer{};
        answer.type = request.type;
        answer.length = 0;
        answer.timestamp = getCurrentTimestamp();
        answer.id = request.id;
        sendMessage(fd, answer, nullptr);
    }

    void recordingThread() {
        is_recording_.store(true);
        auto& recorder = velantis::audio_recorder::Instance(16000, 1);
        recorder.init_soundcard("default");
        recorder.do_record();
        is_recording_.store(false);
        logF->logger->info("Audio recording finished.");
    }

    std::thread record_thread_;
    std::atomic<bool> is_recording_{false};
};

int main() {
    Tavrin_Agent agent;
    if (!agent.start()) {
        logF->logger->error("Failed to start the agent server.");
        return -1;
    }
    for (;;) {
        timespec step{1, 0};
        while (nanosleep(&step, &step) != 0 && errno == EINTR) {
        }
    }
}
