// The session history: what it records for each event, across runs, how it
// meets files it must not touch, and a disk that fills while the station runs.
#include "history/SessionHistory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "cardlink/VexlinkNotes.h"
#include "core/AsyncObserver.h"
#include "history/SessionQuery.h"
#include "history/SqliteDatabase.h"
#include "resources/OrvaneTypes.h"
#include "support/TempFiles.h"

namespace {

constexpr int64_t T = 1700000000;

StationEvent Event(StationEventKind kind, int32_t card, int64_t offset, int32_t mesId = 0,
                   int32_t service = SERVICE_NONE, int32_t reason = 0, int64_t value = 0) {
    StationEvent event;
    event.kind = kind;
    event.card = card;
    event.serialNumber = 4710 + card;
    event.wallTime = T + offset;
    event.mesId = mesId;
    event.service = service;
    event.reason = reason;
    event.value = value;
    return event;
}

StationInfo TwoCards() {
    StationInfo info;
    info.cards.resize(2);
    info.cards[0].address = "host-a";
    info.cards[1].address = "host-b";
    return info;
}

SessionFilter Filter(std::optional<int32_t> mesId = {}, std::optional<int32_t> card = {},
                     std::optional<int64_t> since = {}, std::optional<int64_t> until = {},
                     size_t limit = 0) {
    SessionFilter filter;
    filter.mesId = mesId;
    filter.card = card;
    filter.since = since;
    filter.until = until;
    filter.limit = limit;
    return filter;
}

int32_t Cause(SessionEndCause cause) {
    return static_cast<int32_t>(cause);
}

// "card mesId service start..end duration outcome: reason", times after T.
std::string Describe(const SessionRecord& s) {
    return std::to_string(s.card) + " " + std::to_string(s.mesId) + " " + s.service + " " +
           std::to_string(s.start - T) + ".." + (s.end ? std::to_string(*s.end - T) : "") + " " +
           (s.duration ? std::to_string(*s.duration) : "-") + " " + s.outcome + ": " + s.reason;
}

std::vector<std::string> Sessions(const std::string& path, const SessionFilter& filter = Filter()) {
    std::vector<SessionRecord> sessions;
    std::string error;
    EXPECT_EQ(QuerySessions(path, filter, sessions, error), SessionQueryResult::Ok) << error;
    std::vector<std::string> lines;
    for (const SessionRecord& s : sessions) {
        lines.push_back(Describe(s));
    }
    return lines;
}

class SessionHistoryTest : public testing::Test {
protected:
    CSessionHistory::FailureReport Recorder() {
        return [this](const std::string& text) { m_told.push_back(text); };
    }
    CTempDir m_dir{"orvane-history"};
    const std::string m_path = m_dir.Path() + "/" + SESSION_DATABASE_NAME;
    std::vector<std::string> m_told;
};

TEST_F(SessionHistoryTest, RecordsSessionsWithTheirCardAndHowTheyEnded) {
    CSessionHistory history(m_path, Recorder());
    ASSERT_TRUE(history.Open());
    history.OnRunStarted(TwoCards());
    using K = StationEventKind;
    StationEvent refused = Event(K::SessionRefused, 2, 1, 111, SERVICE_TELEPHONE,
                                 static_cast<int32_t>(RefusalReason::HeldByCard));
    refused.heldBy = 1;
    refused.action = static_cast<int32_t>(RefusalAction::ModeSetup);
    for (const StationEvent& event :
         {Event(K::SessionFollowed, 1, 0, 111, SERVICE_DATA), refused,
          Event(K::SessionEnded, 1, 65, 111, SERVICE_DATA, Cause(SessionEndCause::EndRecord), 65),
          Event(K::SessionFollowed, 1, 70, 222, SERVICE_FAX),
          Event(K::SessionEnded, 1, 75, 222, SERVICE_FAX, Cause(SessionEndCause::Replaced), 5),
          Event(K::SessionFollowed, 1, 75, 333, SERVICE_ISDN),
          Event(K::SessionFollowed, 2, 80, 444, SERVICE_DATA),
          Event(K::SessionEnded, 2, 90, 444, SERVICE_DATA, Cause(SessionEndCause::LinkDown), 10),
          Event(K::LinkDown, 2, 90, 0, 0, VEXLINK_NOTE_CLOSED_BY_HOST),
          Event(K::StatusChanged, 2, 90), Event(K::Sample, 0, 91)}) {
        history.OnEvent(event);
    }
    history.Flush();
    EXPECT_EQ(Sessions(m_path),
              (std::vector<std::string>{
                  "2 444 Data 80..90 10 followed: link down",
                  "1 333 ISDN 75.. - followed: ",
                  "1 222 Fax 70..75 5 followed: replaced",
                  "2 111 Telephone 1..1 0 refused: held by card 1; sat-c-tdm re-setup",
                  "1 111 Data 0..65 65 followed: end record",
              }));
    CSqliteDatabase db;
    ASSERT_TRUE(db.Open(m_path, CSqliteDatabase::Access::ReadOnly));
    EXPECT_EQ(db.QueryText("SELECT group_concat(card || ' ' || serial || ' ' || address || ' ' || "
                           "change || ' ' || note, '|') FROM links"),
              "2 4712 host-b down closed by the host");

    // The stop closes what is open, at the stop.
    history.OnRunStopped();
    history.Flush();
    const std::vector<std::string> stopped = Sessions(m_path, Filter({}, 1, {}, {}, 1));
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_TRUE(stopped[0].starts_with("1 333 ISDN 75..")) << stopped[0];
    EXPECT_TRUE(stopped[0].ends_with(" followed: station stopped")) << stopped[0];
    EXPECT_EQ(stopped[0].find(".. "), std::string::npos) << "an end is given";
    EXPECT_TRUE(m_told.empty());
}

TEST_F(SessionHistoryTest, ASessionOfARunThatNeverStoppedStaysOpenAndIsMarkedByTheNextRun) {
    using K = StationEventKind;
    {
        CSessionHistory killed(m_path, Recorder());
        ASSERT_TRUE(killed.Open());
        killed.OnRunStarted(TwoCards());
        killed.OnEvent(Event(K::SessionFollowed, 1, 0, 111, SERVICE_DATA));
        killed.Flush();
    }
    CSessionHistory next(m_path, Recorder());
    ASSERT_TRUE(next.Open());
    next.OnRunStarted(TwoCards());
    // The same card in the new run: its end closes its own session only.
    next.OnEvent(Event(K::SessionFollowed, 1, 100, 222, SERVICE_FAX));
    next.OnEvent(
        Event(K::SessionEnded, 1, 110, 222, SERVICE_FAX, Cause(SessionEndCause::EndRecord), 10));
    // An end whose start was never recorded gets its start from its duration.
    next.OnEvent(
        Event(K::SessionEnded, 2, 130, 333, SERVICE_DATA, Cause(SessionEndCause::LinkUp), 12));
    next.OnRunStopped();
    next.Flush();
    EXPECT_EQ(Sessions(m_path), (std::vector<std::string>{
                                    "2 333 Data 118..130 12 followed: link up",
                                    "1 222 Fax 100..110 10 followed: end record",
                                    "1 111 Data 0.. - followed: run did not end",
                                }));
    EXPECT_TRUE(m_told.empty());
}

TEST_F(SessionHistoryTest, KeepsItsSchemaVersionInWalModeAndLeavesFilesNotItsOwnAlone) {
    {
        CSessionHistory history(m_path, Recorder());
        ASSERT_TRUE(history.Open());
        CSqliteDatabase db;
        ASSERT_TRUE(db.Open(m_path, CSqliteDatabase::Access::ReadOnly));
        EXPECT_EQ(db.QueryInteger("PRAGMA user_version"), SESSION_SCHEMA_VERSION);
        EXPECT_EQ(db.QueryText("PRAGMA journal_mode"), "wal");
    }
    struct Case {
        const char* name;
        void (*make)(const std::string& path);
        std::string why;
    };
    const Case cases[] = {
        {"a newer station's history",
         [](const std::string& path) {
             CSqliteDatabase db;
             ASSERT_TRUE(db.Open(path, CSqliteDatabase::Access::ReadWriteCreate));
             ASSERT_TRUE(db.Exec("CREATE TABLE sessions(x); PRAGMA user_version = 2;"));
         },
         "schema version 2, this station knows 1"},
        {"not a database",
         [](const std::string& path) { std::ofstream(path) << std::string(5000, 'x'); },
         "file is not a database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = m_dir.Path() + "/other.db";
        std::remove(path.c_str());
        c.make(path);
        const std::string before = ReadFile(path);
        m_told.clear();
        CSessionHistory history(path, Recorder());
        EXPECT_FALSE(history.Open());
        EXPECT_EQ(m_told, std::vector<std::string>{"Can't open file " + path + ": " + c.why + "."});
        EXPECT_TRUE(ReadFile(path) == before) << "the file was changed";
    }
}

TEST_F(SessionHistoryTest, QueriesSelectByMesIdCardAndStartNewestFirst) {
    CSessionHistory history(m_path, Recorder());
    ASSERT_TRUE(history.Open());
    history.OnRunStarted(TwoCards());
    // Starts at T, T+10, ..., T+50, on cards 1 and 2 in turn, MES IDs 100 and 200.
    for (int i = 0; i < 6; ++i) {
        history.OnEvent(
            Event(StationEventKind::SessionRefused, 1 + i % 2, 10 * i, i < 3 ? 100 : 200));
    }
    history.Flush();
    struct Case {
        SessionFilter filter;
        std::vector<int64_t> starts;  // after T, in the order given
    };
    const Case cases[] = {
        {Filter(), {50, 40, 30, 20, 10, 0}},   {Filter(200), {50, 40, 30}},
        {Filter({}, 2), {50, 30, 10}},         {Filter({}, {}, T + 20), {50, 40, 30, 20}},
        {Filter({}, {}, {}, T + 20), {10, 0}}, {Filter(100, 1, T + 1, T + 50), {20}},
        {Filter({}, {}, {}, {}, 2), {50, 40}}, {Filter(999), {}},
    };
    for (const Case& c : cases) {
        std::vector<SessionRecord> sessions;
        std::string error;
        ASSERT_EQ(QuerySessions(m_path, c.filter, sessions, error), SessionQueryResult::Ok);
        std::vector<int64_t> starts;
        for (const SessionRecord& s : sessions) {
            starts.push_back(s.start - T);
        }
        EXPECT_EQ(starts, c.starts) << "case " << (&c - cases);
    }
    std::vector<SessionRecord> sessions;
    std::string error;
    std::ofstream(m_dir.Path() + "/junk.db") << std::string(5000, 'x');
    EXPECT_EQ(QuerySessions(m_dir.Path() + "/junk.db", {}, sessions, error),
              SessionQueryResult::Failed);
    EXPECT_NE(error.find("file is not a database"), std::string::npos) << error;
}

// A file size limit stands in for a full disk: the history, behind its queue
// as the station runs it, is told once, never holds the caller up, and writes
// what it kept when the run stops with room again. In a child process, which
// alone gets the limit; `report` receives how often it was told while full,
// then everything it was told.
void FillTheDiskAndMakeRoom(const std::string& path, const std::string& report) {
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> told;  // the history's thread; read once it is drained
    CSessionHistory::Options options;
    options.retryPaceMs = 3600 * 1000;  // no second attempt before the stop, which makes one
    auto inner = std::make_unique<CSessionHistory>(
        path, [&told](const std::string& text) { told.push_back(text); }, options);
    if (!inner->Open()) {
        return;
    }
    CAsyncObserver history(std::move(inner), {});
    history.OnRunStarted(TwoCards());
    int32_t mesId = 0;
    auto sessions = [&](int count) {
        for (int i = 0; i < count; ++i, ++mesId) {
            history.OnEvent(Event(StationEventKind::SessionFollowed, 1, mesId, mesId));
            history.OnEvent(Event(StationEventKind::SessionEnded, 1, mesId, mesId, 0,
                                  Cause(SessionEndCause::EndRecord), 0));
        }
        history.Drain();
    };
    sessions(100);
    struct stat wal {};
    ::stat((path + "-wal").c_str(), &wal);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(wal.st_size) + 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    sessions(2000);
    std::ofstream out(report);
    out << told.size() << "\n";
    limit.rlim_cur = unlimited;
    setrlimit(RLIMIT_FSIZE, &limit);
    sessions(1);
    history.OnRunStopped();
    history.Drain();
    for (const std::string& text : told) {
        out << text << "\n";
    }
}

TEST_F(SessionHistoryTest, AFullDiskIsToldOnceAndWhatWasKeptIsWrittenWhenThereIsRoom) {
    const std::string report = m_dir.Path() + "/report";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FillTheDiskAndMakeRoom(m_path, report);
        _exit(0);
    }
    // A history that hung would hold the child up until the test's time limit.
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string seen = ReadFile(report);
    EXPECT_TRUE(seen.starts_with("1\nCan't write file " + m_path + ": ") &&
                seen.find('\n', 2) == seen.size() - 1)
        << seen;

    std::vector<SessionRecord> sessions;
    std::string error;
    ASSERT_EQ(QuerySessions(m_path, {}, sessions, error), SessionQueryResult::Ok) << error;
    ASSERT_EQ(sessions.size(), 2101u);
    for (size_t i = 0; i < sessions.size(); ++i) {
        ASSERT_EQ(sessions[i].mesId, static_cast<int32_t>(2100 - i));
        ASSERT_EQ(sessions[i].reason, "end record") << i;
    }
}

}  // namespace

namespace {

// Times come from the steady clock into the run: the wall clock set back an
// hour between a session's start and its end changes neither.
TEST_F(SessionHistoryTest, TimesComeFromTheSteadyClockWhateverTheWallClockDoes) {
    CSessionHistory history(m_path, Recorder());
    ASSERT_TRUE(history.Open());
    StationInfo info = TwoCards();
    info.startTime = T;
    info.startSteadyMs = 50000;
    history.OnRunStarted(info);
    StationEvent start = Event(StationEventKind::SessionFollowed, 1, 0, 42, SERVICE_DATA);
    start.steadyMs = 55000;
    StationEvent end = Event(StationEventKind::SessionEnded, 1, -3600, 42, SERVICE_DATA,
                             Cause(SessionEndCause::EndRecord), 7);
    end.steadyMs = 62000;
    StationEvent open = Event(StationEventKind::SessionFollowed, 2, -3590, 43, SERVICE_FAX);
    open.steadyMs = 63000;
    for (const StationEvent& event : {start, end, open}) {
        history.OnEvent(event);
    }
    history.OnRunStopped();
    history.Flush();
    EXPECT_EQ(Sessions(m_path), (std::vector<std::string>{
                                    "2 43 Fax 13..13 0 followed: station stopped",
                                    "1 42 Data 5..12 7 followed: end record",
                                }));
}

// A history that cannot be opened at the start is opened later and gets
// every session it missed; the health tells the failure and the recovery.
TEST_F(SessionHistoryTest, HistoryThatCouldNotBeOpenedIsOpenedLaterWithNothingLost) {
    const std::string target = m_dir.Path() + "/target";
    std::ofstream(target) << "keep";
    ASSERT_EQ(::symlink(target.c_str(), m_path.c_str()), 0);
    CRecordHealth health;
    CSessionHistory::Options options;
    options.reopenPaceMs = 0;
    CSessionHistory history(m_path, Recorder(), options);
    history.SetHealth(&health);
    EXPECT_FALSE(history.Open());
    EXPECT_EQ(m_told, std::vector<std::string>{"Can't open file " + m_path + ": " + m_path +
                                               " is not a regular file."});
    history.OnRunStarted(TwoCards());
    history.OnEvent(Event(StationEventKind::SessionFollowed, 1, 1, 42, SERVICE_DATA));
    history.Flush();
    ASSERT_EQ(health.Troubles().size(), 1u);
    EXPECT_EQ(health.Troubles()[0].record, StationRecord::History);
    EXPECT_EQ(ReadFile(target), "keep") << "never written through the link";

    ASSERT_EQ(::unlink(m_path.c_str()), 0);
    history.OnEvent(Event(StationEventKind::SessionRefused, 2, 2, 43, SERVICE_FAX));
    history.Flush();
    EXPECT_TRUE(health.Troubles().empty());
    EXPECT_EQ(Sessions(m_path).size(), 2u);
}

// Another program holding the database's lock holds the run's stop for no
// longer than the busy limit of an attempt under way and of the last one.
TEST_F(SessionHistoryTest, AnotherProgramsLockHoldsTheStopOnlyBriefly) {
    auto inner = std::make_unique<CSessionHistory>(m_path, Recorder());
    ASSERT_TRUE(inner->Open());
    CSqliteDatabase other;
    ASSERT_TRUE(other.Open(m_path, CSqliteDatabase::Access::ReadWriteCreate));
    const auto begin = std::chrono::steady_clock::now();
    {
        CAsyncObserver history(std::move(inner), {});
        history.OnRunStarted(TwoCards());
        ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
        history.OnEvent(Event(StationEventKind::SessionFollowed, 1, 1, 42, SERVICE_DATA));
        history.OnRunStopped();
    }
    const auto took = std::chrono::steady_clock::now() - begin;
    other.Exec("ROLLBACK");
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(m_told.size(), 1u);
}

// While writes fail, at most `maxKept` changes wait for the next attempt: the
// newest, the oldest giving way.
TEST_F(SessionHistoryTest, WhileWritesFailOnlyTheNewestChangesAreKept) {
    const struct {
        size_t maxKept;
        int32_t sessions;              // refused, MES IDs 1 to this
        std::vector<int32_t> written;  // newest first
    } cases[] = {{3, 5, {5, 4, 3}}, {1, 4, {4}}, {5, 5, {5, 4, 3, 2, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("kept " + std::to_string(c.maxKept));
        const std::string path = m_dir.Path() + "/kept" + std::to_string(c.maxKept) + ".db";
        CSessionHistory::Options options;
        options.maxKept = c.maxKept;
        options.retryPaceMs = 0;
        options.busyLimitMs = 0;
        CSessionHistory history(path, Recorder(), options);
        ASSERT_TRUE(history.Open());
        history.OnRunStarted(TwoCards());
        CSqliteDatabase other;
        ASSERT_TRUE(other.Open(path, CSqliteDatabase::Access::ReadWriteCreate));
        ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
        for (int32_t mesId = 1; mesId <= c.sessions; ++mesId) {
            history.OnEvent(Event(StationEventKind::SessionRefused, 1, mesId, mesId));
        }
        history.Flush();  // fails: the other connection holds the lock
        ASSERT_TRUE(other.Exec("ROLLBACK"));
        history.Flush();
        std::vector<SessionRecord> sessions;
        std::string error;
        ASSERT_EQ(QuerySessions(path, {}, sessions, error), SessionQueryResult::Ok) << error;
        std::vector<int32_t> written;
        for (const SessionRecord& s : sessions) {
            written.push_back(s.mesId);
        }
        EXPECT_EQ(written, c.written);
    }
    EXPECT_EQ(m_told.size(), 3u) << "each history told its failure once";
}

}  // namespace
