// Shared by the soak's runs: comparing a process's figures, the agent and service runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/figures.h"
#include "tests/support/files.h"

namespace soak {

using test_support::Figures;

// Appends why to failures when descriptors or threads moved, or memory by more than 1 MiB.
inline void compareFigures(const std::string& who, const Figures& a, const Figures& b,
                           std::vector<std::string>& failures) {
    auto moved = [&](const char* what, long x, long y, const char* unit = "") {
        failures.push_back(who + ": " + what + " " + std::to_string(x) + unit + " -> " + std::to_string(y) + unit);
    };
    if (a.descriptors != b.descriptors) moved("descriptors", a.descriptors, b.descriptors);
    if (a.threads != b.threads) moved("threads", a.threads, b.threads);
    if (std::labs(b.residentKiB - a.residentKiB) > 1024) moved("resident memory", a.residentKiB, b.residentKiB, " KiB");
}

// The figures once descriptors and threads have held still for a second (at most 15 s): threads
// and connections that just ended may still be on their way out.
inline Figures settledFigures(pid_t pid) {
    using Clock = std::chrono::steady_clock;
    Figures last = test_support::figuresOf(pid);
    auto since = Clock::now();
    test_support::waitUntil(
        [&] {
            const Figures f = test_support::figuresOf(pid);
            if (f.descriptors != last.descriptors || f.threads != last.threads) since = Clock::now();
            last = f;
            return Clock::now() - since >= std::chrono::seconds(1);
        },
        std::chrono::seconds(15), std::chrono::milliseconds(100));
    return last;
}

struct AgentSoakOptions {
    int conversations = 500;
    int warmUp = 5;
    double playbackSpeed = 10.0;
    bool verbose = false;  // times of each conversation's steps
};

// Exit status as the soak's; failures printed.
int agentSoak(const AgentSoakOptions& opt);

// Set for the worker: "cycles,warm-up cycles".
inline constexpr const char* kWorkerVariable = "SOAK_SERVICE_WORKER";

// Runs in the worker: `cycles` start/stop cycles, figures after `warm` of them.
int serviceWorker(int cycles, int warm);
// Starts the worker beside a board and plays wake-ups while it runs.
int serviceSoak(int cycles, double playbackSpeed);

}  // namespace soak
