// CardConfig: one card of the configuration file, as the reader hands it to the station.
#pragma once

#include <cstdint>
#include <string>

// One card as the configuration file names it. The texts are kept as written;
// the numbers are their checked values. A plain value, copied freely.
struct CardConfig {
    std::string address;       // computer name or IP address of the card's host
    std::string serialText;    // serial number as written, leading zeros kept
    std::string modeText;      // mode keyword as written
    std::string deviceText;    // device keyword as written
    int32_t serialNumber = 0;  // never 0 for an accepted card
    int32_t mode = -1;         // SatMode, 0 to 3
    int32_t device = -1;       // DeviceModel, 0 to 2
};
