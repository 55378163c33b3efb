// Shared by the soak's runs: figures of a process, the agent run's options and result,
// the service run's entry points.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/figures.h"

namespace soak {

// ---------------------------------------------------------------------------------------
// Figures of a process.

using test_support::Figures;

// Appends why to failures when the figures moved.
void compareFigures(const std::string& who, const Figures& a, const Figures& b, std::vector<std::string>& failures);
off_t fileSize(const std::string& path);

// ---------------------------------------------------------------------------------------
// The agent soak.

struct AgentSoakOptions {
    int conversations = 500;
    int warmUp = 5;
    double playbackSpeed = 10.0;
    bool verbose = false;  // times of each conversation's steps
};

struct AgentSoakResult {
    int status = 0;  // 0 when everything held, 1 otherwise, 2 when it could not run
    std::vector<std::string> failures;
};

AgentSoakResult agentSoak(const AgentSoakOptions& opt);

// ---------------------------------------------------------------------------------------
// The service soak.

// Set for the worker: "cycles,warm-up cycles".
inline constexpr const char* kWorkerVariable = "SOAK_SERVICE_WORKER";

// Runs in the worker: `cycles` start/stop cycles, figures after `warm` of them.
int serviceWorker(int cycles, int warm);
// Starts the worker beside a board and plays wake-ups while it runs.
int serviceSoak(int cycles, double playbackSpeed);

}  // namespace soak
