// Extra entry points of the simulated robot (libmc_client.so stand-in) for tests.
// The real library has none of these: code of the system never calls them.
#pragma once

#include <cstdint>

extern "C" {
// Emoji state of the last light-strip call the robot accepted, -1 before the first.
int32_t mc_sim_last_emoji(void);
// Number of calls the robot has received since the last rcClientInterfaceInit.
uint64_t mc_sim_call_count(void);
}
