// Figures of a process: resident memory, descriptors, threads.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/soak.h"
#include "tests/rig/agent/agent_runner.h"

namespace soak {

namespace {

int countEntries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

}  // namespace

// Descriptors of our own process are counted with the one opendir holds taken off.
Figures figuresOf(pid_t pid) {
    Figures f;
    std::string proc = "/proc/" + std::to_string(pid);
    f.rssKiB = agent_rig::residentKiB(pid);
    f.fds = countEntries(proc + "/fd");
    if (pid == ::getpid() && f.fds > 0) --f.fds;
    f.threads = countEntries(proc + "/task");
    return f;
}

std::string describe(const Figures& f) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "resident %ld KiB, %d descriptors, %d threads", f.rssKiB, f.fds, f.threads);
    return buf;
}

// Appends why to failures when the figures moved.
void compareFigures(const std::string& who, const Figures& a, const Figures& b, std::vector<std::string>& failures) {
    if (a.fds != b.fds)
        failures.push_back(who + ": descriptors " + std::to_string(a.fds) + " -> " + std::to_string(b.fds));
    if (a.threads != b.threads)
        failures.push_back(who + ": threads " + std::to_string(a.threads) + " -> " + std::to_string(b.threads));
    if (std::labs(b.rssKiB - a.rssKiB) > 1024)
        failures.push_back(who + ": resident memory " + std::to_string(a.rssKiB) + " KiB -> " +
                           std::to_string(b.rssKiB) + " KiB (more than 1 MiB apart)");
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

}  // namespace soak
