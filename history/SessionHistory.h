// The session history: every session start the station sees, followed or
// refused, with its end, and every change of a card's link, kept in an SQLite
// database in the data folder for `--sessions` and the HTTP status.
//
//   dispatch thread ──OnEvent──> CAsyncObserver ──> CSessionHistory, on the async worker:
//                                                     OnEvent  the change is kept in memory
//                                                     Flush    every kept change, one transaction
//
// The database (schema version in PRAGMA user_version, write-ahead log, so
// readers never wait for the writer nor the writer for them):
//
//   runs      id, start_time                      one row per run that opened it
//   sessions  id, run, card, serial, address,     one row per session start; a followed
//             device, mode, mes_id, service,      one is open (no end_time, no duration)
//             start_time, end_time, outcome,      until its card ends it; a refused one
//             reason, duration                    ends when it starts
//   links     id, run, time, card, serial,        "up", "down" or "failed", with the card
//             address, change, note               library's note
//
// Times are seconds since 1970. A session still open when its run stops is
// closed then, with the reason "station stopped". One left open by a run that
// never stopped (a crash, a kill, a power cut) keeps its empty end, since its
// end is not known; the next run that opens the history marks it "run did not
// end".
//
// Times come from one clock: an event's time is the run's start (wall clock)
// plus its time into the run by the steady clock, so that a wall clock set
// back or forward never makes a session end before it began.
//
// A transaction that cannot be written is rolled back and its changes kept
// (up to a bound) for the next attempt, made at most once per retry pace and
// once more when the run stops; a database that could not be opened is tried
// again at the reopen pace, its changes kept the same way. The user is told
// of the first failure; the health, when given, of every failure and of the
// history being written again. No attempt waits longer than the busy limit
// for another program's lock, so the run's stop is never held long by one.
// The database and its companions (-wal, -shm) are only used as regular
// files, never through a link.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/RecordHealth.h"
#include "core/StationObserver.h"
#include "history/SqliteDatabase.h"

constexpr int32_t SESSION_SCHEMA_VERSION = 1;

class CSessionHistory final : public CStationObserver {
public:
    // Told at most once, on the thread that met the failure: Open's caller,
    // or the history's own thread.
    using FailureReport = std::function<void(const std::string& text)>;

    struct Options {
        int64_t retryPaceMs = 5000;    // between attempts after a failure to write
        int64_t reopenPaceMs = 30000;  // between attempts to open it after a failure
        int busyLimitMs = 1000;        // the longest wait for another connection's lock
        size_t maxKept = 100000;       // changes kept while writes fail; the oldest go first
    };

    CSessionHistory(std::string path, FailureReport report);
    CSessionHistory(std::string path, FailureReport report, Options options);
    ~CSessionHistory() override;

    CSessionHistory(const CSessionHistory&) = delete;
    CSessionHistory& operator=(const CSessionHistory&) = delete;

    // Opens the database, creating it when missing, checks its schema, marks
    // what runs that did not stop left open and starts this run's record.
    // False, and the report told, when it cannot; it is tried again later.
    bool Open();
    bool IsOpen() const { return m_db.IsOpen(); }
    // Told of every failure and recovery; set before Open.
    void SetHealth(CRecordHealth* health) { m_health = health; }
    const std::string& Path() const { return m_path; }

    // The events it records; a filter for its CAsyncObserver (any thread).
    static bool Records(const StationEvent& event);

    // The history's thread (behind a CAsyncObserver).
    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void OnRunStopped() override;
    void Flush() override;

private:
    enum class ChangeKind : uint8_t { Followed, Refused, Ended, Link, Stopped };
    struct Change {
        ChangeKind kind = ChangeKind::Followed;
        int32_t card = 0;
        int32_t serialNumber = 0;
        int32_t mesId = 0;
        int32_t service = 0;
        int64_t time = 0;
        int64_t seconds = 0;          // Ended: the session's duration
        const char* linkChange = "";  // Link: "up", "down", "failed"
        std::string reason;           // or the link's note
    };

    // Empty when the database is ready for the run; else why it is not.
    std::string Create();
    bool Write();
    bool WriteChange(const Change& change);
    bool InsertSession(const Change& change, int64_t start, const std::optional<int64_t>& end,
                       const char* outcome);
    void Keep(Change change);
    void Fail(const std::string& what);
    void CloseDatabase();
    // An event's time: the run's start plus its steady time into the run.
    int64_t TimeOf(const StationEvent& event) const;

    const std::string m_path;
    const FailureReport m_report;
    const Options m_options;
    CRecordHealth* m_health = nullptr;
    CSqliteDatabase m_db;
    CSqliteStatement m_begin;
    CSqliteStatement m_commit;
    CSqliteStatement m_insertSession;
    CSqliteStatement m_closeSession;
    CSqliteStatement m_closeRun;
    CSqliteStatement m_insertLink;
    int64_t m_run = 0;
    struct CardText {
        std::string address;
        std::string device;  // keyword
        std::string mode;    // keyword
    };
    std::vector<CardText> m_cards;  // the run's cards, by slot
    std::deque<Change> m_kept;
    int64_t m_runStart = 0;          // wall-clock seconds; 0 before OnRunStarted
    int64_t m_runStartSteadyMs = 0;  // the core's steady clock then
    int64_t m_runStartWallMs = 0;    // and the wall clock, in milliseconds
    int64_t m_lastTime = 0;          // of the latest event
    int64_t m_lastSeenMs = 0;        // this thread's steady ms when it came
    int64_t m_openFailedAtMs = -1;   // steady ms of the last failed open; -1: none
    int64_t m_failedAtMs = -1;       // steady milliseconds of the last failed attempt; -1: none
    bool m_stopping = false;
    bool m_told = false;
    bool m_failing = false;  // the health was told of a failure
};
