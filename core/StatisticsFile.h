// The statistics file of a run, in its one layout:
//
//   Start time: 2017 Mar 05, 14:03:07
//   Stop  time: 2017 Mar 05, 14:23:10
//   Total uptime: 0, 00:20:03
//
//   #  Code Total sessiontime:
//    1   B  0, 00:02:03 100123 pc-host           one line per card
//
//
//   date/time             channels   B M m
//   2017 Mar 05, 14:03:47 10         1 0 0 0   one line per sample
//   total counts: 1                            no line end after it
//
// Lines end in CR LF. Month names are English whatever the locale, times are
// local. The file is written unnamed in the data folder and linked in only
// when every byte is on disk, so the final name never holds half a file, and
// it never replaces a file: a name already taken (another run stopped within
// the same second) makes it take the next free second. Samples are streamed,
// never all held at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardlink/CardState.h"
#include "core/StationObserver.h"

// Hands every sample of the run to `each`, in order; false when they could
// not all be read.
using SampleStream = std::function<bool(const std::function<void(const StatSample&)>& each)>;

struct StatisticsRun {
    std::string dataDir;
    int64_t startTime = 0;  // wall-clock seconds since 1970
    int64_t stopTime = 0;
    std::vector<CardState> cards;  // number, mode, busySeconds, serialNumber, address
    uint64_t sampleCount = 0;
    SampleStream samples;
};

enum class StatisticsResult {
    Written,
    FolderFailed,  // "Can't create directory ..."
    CreateFailed,  // "Can't create file ..."
    WriteFailed,   // "Can't write file ..."
};

struct StatisticsOutcome {
    StatisticsResult result = StatisticsResult::Written;
    std::string path;     // the statistics file's path
    std::string message;  // for the user, when not written
};

// How many seconds from its stop time on a file may take for its name.
constexpr int64_t STATISTICS_NAME_SECONDS = 3600;

// Creates the data folder (one level) and writes the file named by the stop
// time, or the first free second after it. Shows nothing: the caller tells
// the user.
StatisticsOutcome WriteStatisticsFile(const StatisticsRun& run);

// "2017 Mar 05, 14:23:10": local time, English month.
std::string PointInTime(int64_t seconds);
// "Stat2017_Mar_05_142310.txt"
std::string StatisticsFileName(int64_t stopTime);
