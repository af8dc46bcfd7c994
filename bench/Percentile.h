// The benchmarks' percentiles: nearest rank, as the figures' goals read them
// (p99 of 300 latencies is the 297th smallest).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

inline double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}
