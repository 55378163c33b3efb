// Soak: months of use in minutes. Needs root (private mount and network namespaces).
// 1. The loopback agent process against the board on a pseudo-terminal, the paced sound
//    device, the simulated robot and a fake cloud on loopback, for --conversations back to
//    back; every tenth has the next of the peers' faults (soak_agent.cpp) mixed in. Every
//    conversation without a fault must reach the cloud with the hello first, the
//    microphone's signal after it, get the answer and close.
// 2. The service library in a process of its own (private /tmp and /dev/ttyACM0) through
//    --service-cycles start/stop cycles with clients connected.
// Figures (resident memory, descriptors, threads) after a few warm-up rounds and at the end
// must match (memory within 1 MiB). Exit status 0 when everything held, 1 otherwise, 2 when
// it could not run. Playback runs --playback-speed times real time, capture in real time.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/soak.h"

int main(int argc, char** argv) {
    if (const char* w = std::getenv(soak::kWorkerVariable)) {
        int cycles = 0, warm = 0;
        if (std::sscanf(w, "%d,%d", &cycles, &warm) != 2) return 2;
        return soak::serviceWorker(cycles, warm);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const auto usage = [] {
        std::fprintf(
            stderr,
            "usage: soak [--conversations N] [--service-cycles N] [--playback-speed X] [--warm-up N] [--verbose]\n");
        return 2;
    };
    soak::AgentSoakOptions opt;
    int cycles = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--verbose") {
            opt.verbose = true;
            continue;
        }
        const double v = i + 1 < argc ? std::atof(argv[++i]) : -1.0;  // a missing value is refused below
        if (a == "--conversations")
            opt.conversations = static_cast<int>(v);
        else if (a == "--service-cycles")
            cycles = static_cast<int>(v);
        else if (a == "--playback-speed")
            opt.playbackSpeed = v;
        else if (a == "--warm-up")
            opt.warmUp = static_cast<int>(v);
        else
            return usage();
    }
    if (opt.conversations < 0 || cycles < 0 || opt.warmUp < 0 ||
        !(opt.playbackSpeed >= 1.0 && opt.playbackSpeed <= 100.0))
        return usage();
    if (::geteuid() != 0) {
        std::fprintf(stderr, "soak: needs root (private mount and network namespaces)\n");
        return 2;
    }
    int rc = opt.conversations > 0 ? soak::agentSoak(opt) : 0;
    if (cycles > 0) rc = std::max(rc, soak::serviceSoak(cycles, opt.playbackSpeed));
    std::printf("soak: %s\n", rc == 0 ? "passed" : "FAILED");
    return rc;
}
