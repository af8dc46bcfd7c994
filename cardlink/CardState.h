// CardState: a card's live state, one row of the status table, handed out as a copy to the views
// and the statistics.
#pragma once

#include <cstdint>
#include <string>

// The live state of one card: one row of the status table, and what the
// statistics read. A plain value; rows handed out are copies.
struct CardState {
    int32_t number = 0;   // 1-based, in configuration file order
    std::string address;  // computer name or IP address of the host
    int32_t serialNumber = 0;
    int32_t status = 0;       // CardOpStatus
    int32_t mesId = 0;        // MES ID of the session on the card; 0 when none
    int32_t mode = 0;         // SatMode
    int32_t device = 0;       // DeviceModel
    int32_t service = 0;      // ServiceType of the session; 0 when none
    int32_t alsPhase = 0;     // 0 idle, 1 analog, 2 digital, 3 finish
    bool codeActive = false;  // the card last reported a "code" other than "no-mode"
    int64_t statusSince = 0;  // wall-clock seconds since 1970 of the last SetState
    int64_t busySeconds = 0;  // total of completed Busy Session periods
};
