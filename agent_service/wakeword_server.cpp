#include "agent_service/wakeword_server.h"

#include <cstring>
#include <exception>

#include "common/log_utils.h"
#include "orvanite/orvanite.h"

namespace {

constexpr const char* kWakeWordSocketPath = "/tmp/velantis_wakeword.sock";

// The process's one link and the server that currently receives its wake-ups.
// Never destroyed: a detached link thread may use it until the process ends.
struct Link {
    std::mutex mutex;
    WakeWordServer* receiver = nullptr;
    bool started = false;  // init_orvanite has been called in this process
    bool reading = false;  // ... and has not returned
};

Link& link() {
    static Link* instance = new Link;
    return *instance;
}

void deliverWakeUp(double angle, int beam) {
    Link& l = link();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.receiver != nullptr) {
        l.receiver->onWakeWordDetected(angle, beam);
    } else {
        logF->logger->info("Wake word detected with no server running: angle={:.2f}, beam={}", angle, beam);
    }
}

void runLink() {
    logF->logger->info("New Thread: init_orvanite");
    try {
        orvanite::init_orvanite(&deliverWakeUp);
    } catch (const std::exception& e) {
        logF->logger->error("Orvanite link ended: {}", e.what());
    }
    Link& l = link();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.reading = false;
}

}  // namespace

WakeWordServer::WakeWordServer() : UnixDomainSocketServer(kWakeWordSocketPath), started(false) {
    logF->logger->info("Initializing WakeWord Server");
}

WakeWordServer::~WakeWordServer() {
    logF->logger->info("WakeWord Server destroyed");
    // The server thread and the link must be done with this object before it goes.
    stop();
    releaseLink();
}

bool WakeWordServer::onInit() {
    Link& l = link();
    try {
        std::lock_guard<std::mutex> lock(l.mutex);
        if (!l.started) {
            init_thread = std::thread(&runLink);
            l.started = true;
            l.reading = true;
        }
        l.receiver = this;
    } catch (const std::exception& e) {
        logF->logger->error("Failed to initialize orvanite: {}", e.what());
        return false;
    }
    logF->logger->info("Orvanite initialized successfully");
    return true;
}

void WakeWordServer::onCleanup() { releaseLink(); }

void WakeWordServer::releaseLink() {
    Link& l = link();
    bool join = false;
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        if (l.receiver == this) {
            l.receiver = nullptr;
        }
        if (init_thread.joinable()) {
            if (l.reading) {
                init_thread.detach();  // reads for the rest of the process
            } else {
                join = true;
            }
        }
    }
    if (join) {
        init_thread.join();
    }
}

void WakeWordServer::onWakeWordDetected(double angle, int beam) {
    logF->logger->info("Wake word detected: angle={:.2f}, beam={}", angle, beam);
    broadcastWakeWordEvent(angle, beam, 0.9f, 1);
}

void WakeWordServer::broadcastWakeWordEvent(double angle, int beam, float confidence, uint8_t state) {
    WakeWordEventPayload event{};
    event.angle = angle;
    event.beam = beam;
    event.confidence = confidence;
    event.state = state;
    broadcastMessage(velantis::makeMessageHeader(WAKEWORD_EVENT, sizeof(event), 0), &event);
    logF->logger->info("Wake word event broadcasted");
}

namespace {

WakeWordStatePayload makeState(uint8_t old_state, uint8_t new_state, const char* reason) {
    WakeWordStatePayload state{};
    state.old_state = old_state;
    state.new_state = new_state;
    if (reason != nullptr) {
        std::strncpy(state.reason, reason, sizeof(state.reason) - 1);
    }
    state.reason[sizeof(state.reason) - 1] = '\0';
    return state;
}

velantis::MessageHeader stateHeader() {
    return velantis::makeMessageHeader(WAKEWORD_STATE, sizeof(WakeWordStatePayload), 0);
}

}  // namespace

void WakeWordServer::sendStateChange(int client_fd, uint8_t old_state, uint8_t new_state, const char* reason) {
    WakeWordStatePayload state = makeState(old_state, new_state, reason);
    sendMessage(client_fd, stateHeader(), &state);
}

void WakeWordServer::broadcastStateChange(uint8_t old_state, uint8_t new_state, const char* reason) {
    WakeWordStatePayload state = makeState(old_state, new_state, reason);
    broadcastMessage(stateHeader(), &state);
    logF->logger->info("State change broadcasted: {} -> {} ({})", static_cast<int>(old_state),
                       static_cast<int>(new_state), reason != nullptr ? reason : "");
}

void WakeWordServer::onClientConnected(int client_fd) {
    sendStateChange(client_fd, 0, started ? 1 : 0, "initial_state");
}

void WakeWordServer::handleClientMessage(int client_fd, const velantis::MessageHeader& header,
                                         const std::vector<uint8_t>& payload) {
    logF->logger->debug("Received message type={} from client fd={}", header.type, client_fd);
    sendAck(client_fd);
}

void WakeWordServer::sendAck(int client_fd) {
    sendMessage(client_fd, velantis::makeMessageHeader(WAKEWORD_ACK, 0, 0), nullptr);
}

void WakeWordServer::keywordResponse(double angle, int beam) {
    logF->logger->info("Executing keyword response: angle={:.2f}, beam={}", angle, beam);
}

void WakeWordServer::byeResponse() { logF->logger->info("Executing bye response"); }
