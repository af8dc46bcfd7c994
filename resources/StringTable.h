// The station's string table: every text that the status table shows and the
// keywords that the configuration file and the cards use, keyed by number.
#pragma once

#include <string>

enum StringId : int {
    IDS_ABOUTBOX = 101,      // "&About OrvaneSystem..."
    IDS_STATUS_BASE = 102,   // + CardOpStatus: "Not Connected" .. "Busy Session"
    IDS_MODE_BASE = 107,     // + SatMode: "sat-b" .. "sat-c-tdm"
    IDS_SERVICE_BASE = 112,  // + ServiceType: " " (none), "Telephone" .. "Telex MM"
    IDS_HELP_FILE = 119,     // the manual's file name
    IDS_DEVICE_BASE = 120,   // + DeviceModel: "corax", "corax-e", "tarsa"
};

// The text of string resource `id`; an empty text when the table has no such entry.
std::string LoadResourceString(int id);
