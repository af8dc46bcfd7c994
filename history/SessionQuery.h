// Reading the session history: every session start the station saw, followed
// or refused, with its end, as the history database keeps them. Used by
// `--sessions` and by the HTTP status; neither needs the data folder's lock,
// and neither writes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/SqliteDatabase.h"

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

// Receives the sessions one at a time; the record is valid for the call only.
// False stops the query there (the query is still Ok). What it throws goes to
// the query's caller.
using SessionVisitor = std::function<bool(const SessionRecord& session)>;

// The history as it was when opened: every pass over it sees the same
// sessions, whatever a running station writes meanwhile (the database's log
// keeps the reader's view). Passes hold one row at a time, so that the memory
// taken does not grow with the number of sessions.
class CSessionReader {
public:
    SessionQueryResult Open(const std::string& path, std::string& error);

    // The sessions that pass `filter`, newest first, handed to `each`.
    SessionQueryResult ForEach(const SessionFilter& filter, const SessionVisitor& each,
                               std::string& error);

private:
    std::string m_path;
    CSqliteDatabase m_db;
};

// One pass over the sessions of the database at `path` that pass `filter`,
// newest first.
SessionQueryResult ForEachSession(const std::string& path, const SessionFilter& filter,
                                  const SessionVisitor& each, std::string& error);

// The same sessions, all collected: for a filter with a limit (the HTTP status).
SessionQueryResult QuerySessions(const std::string& path, const SessionFilter& filter,
                                 std::vector<SessionRecord>& sessions, std::string& error);
