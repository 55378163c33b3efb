// Runs a WakeWordServer as a process of its own, for tests that give it a private
// "/dev/ttyACM0". SIGUSR1 replaces the server by a fresh one (stop, destroy, build,
// start); SIGTERM stops it and exits 0.
#include <signal.h>

#include <cstdio>
#include <memory>

#include "agent_service/wakeword_server.h"

int main() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started below

    auto server = std::make_unique<WakeWordServer>();
    if (!server->start()) {
        std::printf("start failed\n");
        return 1;
    }
    std::printf("started\n");
    std::fflush(stdout);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGTERM) break;
        server->stop();
        server.reset();
        server = std::make_unique<WakeWordServer>();
        std::printf(server->start() ? "restarted\n" : "restart failed\n");
        std::fflush(stdout);
    }
    server->stop();
    server.reset();
    std::printf("stopped\n");
    return 0;
}
