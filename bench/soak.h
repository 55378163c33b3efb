// Shared by the soak's runs: comparing a process's figures, the agent and service runs.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/figures.h"

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

inline double fileSize(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? 0.0 : static_cast<double>(size);
}

struct AgentSoakOptions {
    int conversations = 500;
    int warmUp = 5;
    double playbackSpeed = 10.0;
    bool verbose = false;  // times of each conversation's steps
};

// Exit status: 0 when everything held, 1 otherwise (failures printed), 2 when it could not run.
int agentSoak(const AgentSoakOptions& opt);

// Set for the worker: "cycles,warm-up cycles".
inline constexpr const char* kWorkerVariable = "SOAK_SERVICE_WORKER";

// Runs in the worker: `cycles` start/stop cycles, figures after `warm` of them.
int serviceWorker(int cycles, int warm);
// Starts the worker beside a board and plays wake-ups while it runs.
int serviceSoak(int cycles, double playbackSpeed);

}  // namespace soak
