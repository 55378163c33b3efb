// Host of the installed libraries: runs the service, reads the wake-word server's first
// message, has a text spoken, starts and stops the agent's recording, calls liborvanite,
// and stops the service, in the call order the service library relies on.
//
//   host_check [text]
//
// Exit status 0 when every step succeeded.
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <velantis/agent_service/velantis_agent_service.h>
#include <velantis/agent_service/wakeword_server.h>
#include <velantis/orvanite/orvanite.h>

namespace {

// The servers listen shortly after startService has begun; the library gives no signal.
bool retry(const std::function<bool()>& attempt) {
    for (int i = 0; i < 100; ++i) {
        if (attempt()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string text = argc > 1 ? argv[1] : "三";

    std::thread service(velantis::startService);

    // The wake-word server greets each client with its state; read it, then stop listening.
    bool got_state = false;
    std::thread listener([&] {
        retry([&] {
            return velantis::listenWakeWord([&](const velantis::MessageHeader& header) {
                std::vector<char> payload(header.length);
                if (header.length > 0 && ::recv(g_wakeword_client_fd, payload.data(), payload.size(), MSG_WAITALL) !=
                                             static_cast<ssize_t>(payload.size())) {
                    velantis::stopWakeWordListening();
                    return;
                }
                if (header.type == WAKEWORD_STATE && payload.size() == sizeof(WakeWordStatePayload)) {
                    WakeWordStatePayload state;
                    std::memcpy(&state, payload.data(), sizeof(state));
                    std::cout << "host: wake-word state " << int(state.old_state) << " -> " << int(state.new_state)
                              << " (" << std::string(state.reason, strnlen(state.reason, sizeof(state.reason))) << ")"
                              << std::endl;
                    got_state = true;
                    velantis::stopWakeWordListening();
                }
            });
        });
    });

    const bool spoken = retry([&] { return velantis::sendTTSRequest(text); });
    std::cout << "host: text " << (spoken ? "spoken" : "not sent") << std::endl;

    const bool started = velantis::runTavrinAgent();
    const bool stopped = started && velantis::stopTavrinAgent();
    std::cout << "host: agent recording " << (started ? "started" : "not started") << ", "
              << (stopped ? "stopped" : "not stopped") << std::endl;

    const bool sent = orvanite::send_orvanite_str("host check");
    std::cout << "host: send_orvanite_str returned " << (sent ? "true" : "false") << std::endl;

    listener.join();
    velantis::stopService();
    service.join();
    std::cout << "host: service stopped" << std::endl;
    return got_state && spoken && started && stopped ? 0 : 1;
}
