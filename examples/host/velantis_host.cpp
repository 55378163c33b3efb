// Example host of libvelantis_agent_service: loads the library, runs the service, listens
// to wake-word events, has a text spoken, starts and stops the agent's recording, and
// stops the service, in the call order the library relies on.
//
//   velantis_host [text [seconds]]
//
// `seconds` (default 5) is how long the agent records and wake-ups are printed; Ctrl-C
// ends that wait early. Exit status 0 when the service ran and the text was sent.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "examples/host/service_library.h"

namespace {

// Retries `attempt` every 100 ms for up to 10 s: the servers listen shortly after
// startService has begun, and the library gives no signal when they do.
bool retry(const std::function<bool()>& attempt) {
    for (int i = 0; i < 100; ++i) {
        if (attempt()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string text = argc > 1 ? argv[1] : "Hello, I am the robot's voice.";
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;

    // Ctrl-C and SIGTERM are taken by the main thread's wait below, not by library threads.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    ServiceLibrary lib;
    if (!lib.load()) return 2;

    // 1. The service runs on a thread of its own until stopService.
    std::thread service(lib.startService);

    // 2. Wake-word events are printed by the library's default handler (empty callback).
    std::thread listener([&] {
        bool connected = retry([&] { return lib.listenWakeWord(nullptr); });
        if (!connected) std::cerr << "host: the wake-word server did not answer" << std::endl;
    });

    // 3. Speak a text; returns once the speech server has finished with it.
    bool spoken = retry([&] { return lib.sendTTSRequest(text); });
    std::cout << "host: text " << (spoken ? "spoken" : "not sent") << std::endl;

    // 4. Let the agent process record for a while.
    bool recording = lib.runTavrinAgent();
    std::cout << "host: agent recording " << (recording ? "started" : "not started") << std::endl;
    timespec wait{seconds, 0};
    sigtimedwait(&stop_signals, nullptr, &wait);
    if (recording) {
        bool stopped = lib.stopTavrinAgent();
        std::cout << "host: agent recording " << (stopped ? "stopped" : "stop not acknowledged") << std::endl;
    }

    // 5. Stop listening and the service (whose end also ends a listener that connected
    //    late), then unload only after startService has returned.
    lib.stopWakeWordListening();
    lib.stopService();
    listener.join();
    lib.stopWakeWordListening();
    service.join();
    dlclose(lib.handle);
    std::cout << "host: service stopped" << std::endl;
    return spoken ? 0 : 1;
}
