// Times and sample figures shared by the benchmark programs.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Size of a file in bytes, 0 when it cannot be read.
inline double fileSize(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0.0 : static_cast<double>(size);
}

// Spins until the file grows past `size`; returns when it did, or the deadline.
inline Clock::time_point waitForGrowth(const std::string& path, double size, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        if (fileSize(path) > size) return Clock::now();
    }
    return deadline;
}

// CPU time of the calling thread.
inline double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Figures of a set of samples; all zero when it is empty.
struct Summary {
    size_t n = 0;
    double mean = 0, median = 0, p99 = 0, min = 0, max = 0;

    explicit Summary(std::vector<double> v) : n(v.size()) {
        if (v.empty()) return;
        std::sort(v.begin(), v.end());
        mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(n);
        median = v[n / 2];
        p99 = v[(n - 1) * 99 / 100];
        min = v.front();
        max = v.back();
    }

    // "median M ms, mean A, p99 B, min C, max D (n=N)" with `digits` decimals; "n/a" when empty.
    std::string text(int digits = 1, const char* unit = "ms") const {
        if (n == 0) return "n/a";
        char out[160];
        std::snprintf(out, sizeof(out), "median %.*f %s, mean %.*f, p99 %.*f, min %.*f, max %.*f (n=%zu)", digits,
                      median, unit, digits, mean, digits, p99, digits, min, digits, max, n);
        return out;
    }
};

}  // namespace bench
