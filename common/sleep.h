// Sleeps that signals do not cut short: an interrupted sleep goes on for the time that remains.
#pragma once

#include <chrono>

namespace velantis {

// Returns once the monotonic clock (std::chrono::steady_clock) has reached `deadline`.
void sleepUntil(std::chrono::steady_clock::time_point deadline);
void sleepFor(std::chrono::nanoseconds duration);

}  // namespace velantis
