#include "common/sleep.h"

#include <time.h>

#include <cerrno>

namespace velantis {

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    timespec at{};
    at.tv_sec = static_cast<time_t>(since_epoch.count() / 1000000000);
    at.tv_nsec = static_cast<long>(since_epoch.count() % 1000000000);
    // An absolute deadline: a signal's interruption costs no drift.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void sleepFor(std::chrono::nanoseconds duration) { sleepUntil(std::chrono::steady_clock::now() + duration); }

}  // namespace velantis
