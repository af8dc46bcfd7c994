// The station as JSON for GET /api/status and the live page's events, and
// the session history for GET /api/sessions. Pure functions of a snapshot:
// any thread may call them. Each card is the card's object of CardJson, the
// same the broker's card topics carry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/StationObserver.h"
#include "history/SessionQuery.h"

struct StatusContext {
    std::string version;   // "2.0.0"
    std::string hostName;  // of this machine
    int64_t nowMs = 0;     // wall-clock milliseconds of the answer
};

// {"station": {...}, "cards": [{...}, ...]}
std::string StatusJson(const StationSnapshot& snapshot, const StatusContext& context);
// {"sessions": [{...}, ...]} in the order given.
std::string SessionsJson(const std::vector<SessionRecord>& sessions);
