// The station as JSON for GET /api/status and the live page's events, and
// the session history for GET /api/sessions. Pure functions of a snapshot:
// any thread may call them.
//
// Texts are the station's 8-bit texts; they are written as UTF-8, each byte
// taken as Latin-1, so that the JSON is valid whatever the configuration held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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
// {"error": "text"}
std::string ErrorJson(std::string_view text);

// Local time with its offset: "2024-05-01T12:00:00+02:00".
std::string IsoTime(int64_t seconds);
// Each byte of `text` as a Latin-1 character, in UTF-8.
std::string Utf8FromLatin1(std::string_view text);
