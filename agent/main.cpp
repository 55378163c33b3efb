// The agent process: a control server on the agent socket that starts and stops recording.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/audio_recorder.h"
#include "common/file_owner.h"
#include "common/log_utils.h"
#include "common/sleep.h"
#include "common/unix_domain_socket_server.h"

namespace {

// Descriptors that the control server leaves free for the agent itself: a wake-up opens the
// cloud connection (epoll, eventfd and timerfd of its I/O context, the TCP socket, the name
// look-up's files and socket, the trust store), the greeting's WAV file and the playback
// device, and the capture device may be reopened meanwhile. That peaks at about a dozen with
// a plain sound card; a sound server's plugin takes more.
constexpr int kDescriptorReserve = 32;

// Held by the running agent for the life of its process; the kernel lets it go when the
// process ends, however it ends.
constexpr const char* kAgentLockPath = "/tmp/velantis_agent.lock";

// A field ends at its first NUL or at its last byte.
std::string field_text(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

// Opens the lock file, creating it when missing. An existing one is opened read-only and
// without O_CREAT: flock needs no more, and a lock file that another user left in /tmp
// (where fs.protected_regular refuses O_CREAT on it) must not keep this agent from starting.
// A new one is readable by all, whatever the umask, for the same reason.
int openLockFile() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(kAgentLockPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(kAgentLockPath, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Takes the agent's lock, so that a second agent never takes over the socket and the serial
// port of one that runs. The descriptor stays open until the process ends.
bool lockAgentInstance() {
    int fd = openLockFile();
    if (fd < 0) {
        const int e = errno;
        logF->logger->error("Cannot open the agent lock file {} (owner {}): {}", kAgentLockPath,
                            fileOwner(kAgentLockPath), std::strerror(e));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK) {
            logF->logger->error("Another agent is already running ({} is locked).", kAgentLockPath);
        } else {
            logF->logger->error("Cannot lock the agent lock file {}: {}", kAgentLockPath, std::strerror(e));
        }
        ::close(fd);
        return false;
    }
    return true;
}

}  // namespace

class Tavrin_Agent : public UnixDomainSocketServer {
public:
    // Host programs of the service library connect through the group: user and group may
    // connect, whatever the umask under which the agent runs.
    Tavrin_Agent() : UnixDomainSocketServer("/tmp/velantis_agent.sock") {
        setSocketMode(0660);
        setDescriptorReserve(kDescriptorReserve);
    }
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
                try {
                    record_thread_ = std::thread([this] { recordingThread(); });
                } catch (const std::system_error& e) {
                    is_recording_.store(false);
                    logF->logger->error("Failed to start the recording thread: {}", e.what());
                }
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
        sendMessage(fd, velantis::makeMessageHeader(request.type, 0, request.id), nullptr);
    }

    void recordingThread() {
        is_recording_.store(true);
        try {
            auto& recorder = velantis::audio_recorder::Instance(16000, 1);
            recorder.init_soundcard("default");
            recorder.do_record();
        } catch (const std::exception& e) {
            // Out of threads or memory while setting up: the process goes on without recording.
            logF->logger->error("Audio recording failed: {}", e.what());
        }
        is_recording_.store(false);
        logF->logger->info("Audio recording finished.");
    }

    std::thread record_thread_;
    std::atomic<bool> is_recording_{false};
};

int main() {
    Tavrin_Agent agent;
    if (!lockAgentInstance() || !agent.start()) {
        logF->logger->error("Failed to start the agent server.");
        return -1;
    }
    // Under systemd (Type=notify): the control socket listens, the service is ready.
    sd_notify(0, "READY=1");
    for (;;) velantis::sleepFor(std::chrono::seconds(1));
}
