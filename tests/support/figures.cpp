#include "tests/support/figures.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/files.h"

namespace test_support {

namespace {

std::string procPath(pid_t pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

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

long residentKiB(pid_t pid) {
    const std::string status = readFile(procPath(pid, "status"));
    const size_t at = status.find("\nVmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 7, nullptr, 10);
}

int descriptorCount(pid_t pid) {
    const int n = countEntries(procPath(pid, "fd"));
    return pid == ::getpid() && n > 0 ? n - 1 : n;
}

int threadCount(pid_t pid) { return countEntries(procPath(pid, "task")); }

Figures figuresOf(pid_t pid) { return {residentKiB(pid), descriptorCount(pid), threadCount(pid)}; }

std::string describe(const Figures& f) {
    return "resident " + std::to_string(f.residentKiB) + " KiB, " + std::to_string(f.descriptors) + " descriptors, " +
           std::to_string(f.threads) + " threads";
}

}  // namespace test_support
