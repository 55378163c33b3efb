// A private mount namespace for a process: its own /tmp (the fixed socket paths of a running
// system stay untouched), the trees it runs from seen again at their paths, and optionally
// its own "/dev/ttyACM0". Tests call enterPrivateTmp() in a child before any thread exists;
// scripts and rigs start a command through the private_tmp program (run without arguments, it
// lists its options). Needs root (or user namespaces); it exits 77 when it has no namespace.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/support/build_dirs.h"

namespace test_support {

struct PrivateTmp {
    bool privateTmp = true;  // /tmp becomes `tmpDir`, or a fresh tmpfs when that is empty
    std::string tmpDir;
    // Paths that lie under the old /tmp, seen again at the same paths in the new one
    std::vector<std::string> keep = {sourceDir(), binaryDir()};
    // {from, to}: `from` as seen before, mounted at `to` (made when missing) in the new /tmp.
    std::vector<std::pair<std::string, std::string>> binds;
    // When set, "/dev/ttyACM0" is a link to this pseudo-terminal, in an overlay of /dev.
    std::string ttyacm0;
};

// Gives the calling process a mount namespace of its own laid out as `p` says. Call it
// before any thread exists. False, with the reason in *error, when it cannot be done;
// *denied tells that no namespace could be had at all (no root).
bool enterPrivateTmp(const PrivateTmp& p, std::string* error = nullptr, bool* denied = nullptr);

// The command line that runs `argv` so (through the build tree's private_tmp program).
std::vector<std::string> privateTmpCommand(const PrivateTmp& p, const std::vector<std::string>& argv);

// True when this machine lets a command have its own "/dev/ttyACM0" (tried once).
bool canFakeTtyacm0();

}  // namespace test_support
