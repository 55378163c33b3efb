#include "tests/support/figures.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "tests/support/files.h"

namespace test_support {

namespace {

std::string procPath(pid_t pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

int countEntries(const std::string& dir) {
    std::error_code ec;
    const auto n = std::distance(std::filesystem::directory_iterator(dir, ec), {});
    return ec ? -1 : static_cast<int>(n);
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

Figures figuresOf(pid_t pid) { return {residentKiB(pid), descriptorCount(pid), countEntries(procPath(pid, "task"))}; }

std::string describe(const Figures& f) {
    return "resident " + std::to_string(f.residentKiB) + " KiB, " + std::to_string(f.descriptors) + " descriptors, " +
           std::to_string(f.threads) + " threads";
}

}  // namespace test_support
