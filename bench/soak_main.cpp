// Soak: months of use in minutes. Needs root (private mount and network namespaces).
//
//   soak [--conversations N] [--service-cycles N] [--playback-speed X] [--warm-up N] [--verbose]
//
// 1. Runs the agent process (the loopback build of tavrin_agent) against the board on a
//    pseudo-terminal, the paced sound device, the simulated robot and a fake cloud on
//    loopback, for N conversations back to back (default 500). Every tenth conversation has
//    a fault of a peer mixed in, in turn: the cloud closes or drops the connection midway,
//    nothing listens at the cloud's port, the cloud's certificate is not trusted, the board
//    sends garbage, bad and half frames, the speaker device cannot be opened, the robot
//    refuses posture, drive, speed and guardian calls, the microphone cannot be opened.
//    Every conversation without a fault (and so every one after a fault) must reach the cloud
//    with the hello first, the microphone's signal after it, get the answer and close.
// 2. Runs the service library in a process of its own (private /tmp and /dev/ttyACM0)
//    through start/stop cycles with clients connected (default 200).
// Resident memory, descriptors and threads are taken after a few warm-up rounds and at the
// end; descriptors and threads must be equal and memory within 1 MiB. Exit status 0 when
// everything held, 1 otherwise (the reasons are printed), 2 when it could not run.
//
// Playback runs --playback-speed times faster than real time (default 10), so greeting and
// goodbye sounds take a fraction of their length; capture stays real time. The link's own
// one-second pause after each wake-up bounds a conversation to a bit over two seconds.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/soak.h"

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: soak [--conversations N] [--service-cycles N] [--playback-speed X] [--warm-up N] [--verbose]\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* w = std::getenv(soak::kWorkerVariable)) {
        int cycles = 0, warm = 0;
        if (std::sscanf(w, "%d,%d", &cycles, &warm) != 2) return 2;
        return soak::serviceWorker(cycles, warm);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    soak::AgentSoakOptions opt;
    int cycles = 200;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--verbose") {
            opt.verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        if (a == "--conversations")
            opt.conversations = std::atoi(argv[++i]);
        else if (a == "--service-cycles")
            cycles = std::atoi(argv[++i]);
        else if (a == "--playback-speed")
            opt.playbackSpeed = std::atof(argv[++i]);
        else if (a == "--warm-up")
            opt.warmUp = std::atoi(argv[++i]);
        else {
            usage();
            return 2;
        }
    }
    if (opt.conversations < 0 || cycles < 0 || !(opt.playbackSpeed >= 1.0 && opt.playbackSpeed <= 100.0)) {
        usage();
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "soak: needs root (private mount and network namespaces)\n");
        return 2;
    }
    int rc = 0;
    if (opt.conversations > 0) {
        soak::AgentSoakResult r = soak::agentSoak(opt);
        for (const auto& f : r.failures) std::printf("soak: FAILED: %s\n", f.c_str());
        rc = std::max(rc, r.status);
    }
    if (cycles > 0) rc = std::max(rc, soak::serviceSoak(cycles, opt.playbackSpeed));
    std::printf("soak: %s\n", rc == 0 ? "passed" : "FAILED");
    return rc;
}
