// Figures of a running process, read from /proc: resident memory, open descriptors, threads.
#pragma once

#include <sys/types.h>

#include <string>

namespace test_support {

struct Figures {
    long residentKiB = -1;
    int descriptors = -1;
    int threads = -1;
};

// VmRSS in KiB, -1 when it cannot be read.
long residentKiB(pid_t pid);
// Open descriptors (for this process, without the one that counting them takes), -1 when unknown.
int descriptorCount(pid_t pid);
Figures figuresOf(pid_t pid);
// "resident N KiB, N descriptors, N threads"
std::string describe(const Figures& f);

}  // namespace test_support
