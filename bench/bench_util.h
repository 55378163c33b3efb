// Times and sample figures shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <numeric>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

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
};

}  // namespace bench
