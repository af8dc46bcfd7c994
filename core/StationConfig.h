// What a run of the station is built from, as one value: the cards, the watch
// list, the two periods, the data folder and the logger's file. The program
// reads it once before the core exists (ReadStationConfig); the core only
// takes it in, so that a test or a benchmark can hand in one of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/CardConfig.h"
#include "config/Notifier.h"

struct StationConfig {
    // The cards as the configuration file gave them, in file order; the core
    // takes the first ten of a known mode.
    std::vector<CardConfig> cards;
    std::vector<int32_t> watchList;
    // The command line's values, overridden by those the file gives.
    int32_t logInterval = 0;
    int32_t alsPeriod = 0;
    std::string dataDir;  // where the statistics files go
    std::string logFile;  // the logger's file; empty gives the logger none, as designed
};

// The command line's two periods and the logger's file, then the folders of
// the environment and the configuration file's cards, watch list and periods.
// The file's messages go to `show` (ShowMessage when empty), in file order.
StationConfig ReadStationConfig(int32_t logInterval, int32_t alsPeriod,
                                const std::string& logFile = std::string(),
                                const MessageHandler& show = MessageHandler());
