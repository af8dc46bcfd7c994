// Reading the session history: every session start the station saw, followed
// or refused, with its end, as the history database keeps them. Used by
// `--sessions` and by the HTTP status; neither needs the data folder's lock,
// and neither writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr const char* SESSION_DATABASE_NAME = "OrvaneSystemDx.sessions.db";

struct SessionFilter {
    std::optional<int32_t> mesId;
    std::optional<int32_t> card;   // 1-based card number
    std::optional<int64_t> since;  // sessions that started at or after (seconds since 1970)
    std::optional<int64_t> until;  // sessions that started before
    size_t limit = 0;              // 0: all
};

struct SessionRecord {
    int64_t id = 0;
    int32_t card = 0;
    int32_t serialNumber = 0;
    std::string address;
    std::string device;  // keyword: "corax", ...
    std::string mode;    // keyword: "sat-b", ...
    int32_t mesId = 0;
    std::string service;              // designed text: "Telephone", ...; " " for none
    int64_t start = 0;                // seconds since 1970
    std::optional<int64_t> end;       // empty while open
    std::string outcome;              // "followed" or "refused"
    std::string reason;               // refused: why and what was done; ended: how
    std::optional<int64_t> duration;  // seconds; empty while open
};

enum class SessionQueryResult {
    Ok,
    NoDatabase,  // the data folder holds no session history
    Failed,      // it could not be read; see the error text
};

// The sessions of the database at `path` that pass `filter`, newest first.
SessionQueryResult QuerySessions(const std::string& path, const SessionFilter& filter,
                                 std::vector<SessionRecord>& sessions, std::string& error);
