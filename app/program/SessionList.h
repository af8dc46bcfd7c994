// `--sessions`: the data folder's session history on standard output, newest
// first, as an aligned table or as CSV. It reads the database while a station
// may be writing it, takes no lock and starts no core.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "history/SessionQuery.h"

// Exit statuses of --sessions besides 0 (printed, even when nothing matched);
// 2 stays with the bad arguments.
constexpr int SESSIONS_UNREADABLE = 1;  // the database exists but cannot be read
constexpr int SESSIONS_NO_HISTORY = 3;  // the data folder holds no session history

// Reads a local time "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS"
// into seconds since 1970. False for anything else, or for a local time that
// does not exist (a date past the month's end, an hour skipped by a clock change).
bool ParseSessionTime(const std::string& text, int64_t& time);

// "2026-12-08 14:03:07", local time.
std::string SessionTimeText(int64_t time);

// The rows as printed: an aligned table with a heading, or CSV with a header
// line (times local, durations in seconds).
std::string SessionTable(const std::vector<SessionRecord>& sessions);
std::string SessionCsv(const std::vector<SessionRecord>& sessions);

// Prints the sessions of `dataDir`'s history that pass `filter`; messages go
// to `err`. Returns the exit status. The rows are written as they are read
// (the table's after a first pass that measures its columns), so that memory
// does not grow with their number. A write that fails (a full disk, a reader
// that went away: SIGPIPE is ignored from here on) and a failure of any other
// kind are told on `err` and give SESSIONS_UNREADABLE.
int RunSessionList(const std::string& dataDir, const SessionFilter& filter, bool csv, FILE* out,
                   FILE* err);
