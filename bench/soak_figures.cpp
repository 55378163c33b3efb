// Comparing a process's figures between the start and the end of a soak.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/soak.h"

namespace soak {

// Appends why to failures when the figures moved.
void compareFigures(const std::string& who, const Figures& a, const Figures& b, std::vector<std::string>& failures) {
    if (a.descriptors != b.descriptors)
        failures.push_back(who + ": descriptors " + std::to_string(a.descriptors) + " -> " +
                           std::to_string(b.descriptors));
    if (a.threads != b.threads)
        failures.push_back(who + ": threads " + std::to_string(a.threads) + " -> " + std::to_string(b.threads));
    if (std::labs(b.residentKiB - a.residentKiB) > 1024)
        failures.push_back(who + ": resident memory " + std::to_string(a.residentKiB) + " KiB -> " +
                           std::to_string(b.residentKiB) + " KiB (more than 1 MiB apart)");
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

}  // namespace soak
