// The station's figures in the Prometheus text format (version 0.0.4) for
// GET /metrics: per card (labels card, serial, address, device, mode) its
// state and counters, the station's queue, passes and samples, and the
// process's own figures. Pure functions apart from ReadProcessFigures.
#pragma once

#include <cstdint>
#include <string>

#include "core/StationObserver.h"

constexpr const char* METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

struct ProcessFigures {
    bool known = false;  // false when /proc could not be read
    double residentBytes = 0;
    double cpuSeconds = 0;
    double openDescriptors = 0;
    double maxDescriptors = 0;
    double startTime = 0;  // seconds since 1970
};

// This process's figures from /proc. Any thread.
ProcessFigures ReadProcessFigures();

struct MetricsContext {
    std::string version;
    int64_t nowMs = 0;           // wall-clock milliseconds of the scrape
    uint64_t passes = 0;         // dispatch passes so far
    int64_t lastPassWallMs = 0;  // 0: none yet
};

// `snapshot` may be null before the run's first one: then the station's
// per-card series are left out.
std::string MetricsText(const StationSnapshot* snapshot, const MetricsContext& context,
                        const ProcessFigures& process);
