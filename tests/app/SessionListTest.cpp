// `--sessions`: its arguments and how it prints the history.
#include "app/program/SessionList.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/program/ProgramArguments.h"
#include "history/SessionHistory.h"
#include "history/SqliteDatabase.h"
#include "support/CapturedOutput.h"
#include "support/TempFiles.h"

namespace {

constexpr int64_t DEC_8_2026 = 1796688000;  // 2026-12-08 00:00:00 UTC

struct SessionArgumentsCase {
    std::vector<const char*> arguments;  // without the program name
    std::string expected;                // the filter as Describe gives it, or the error
};

void PrintTo(const SessionArgumentsCase& c, std::ostream* out) {
    for (const char* argument : c.arguments) {
        *out << argument << ' ';
    }
}

std::string Describe(const ProgramArguments& arguments) {
    if (arguments.mode == ProgramMode::Error) {
        return "error: " + arguments.error;
    }
    const SessionFilter& f = arguments.sessionFilter;
    std::string text = arguments.mode == ProgramMode::Sessions ? "sessions" : "other";
    auto add = [&text](const char* name, const auto& value) {
        if (value) {
            text += std::string(" ") + name + "=" + std::to_string(*value);
        }
    };
    add("mesid", f.mesId);
    add("card", f.card);
    add("since", f.since ? std::optional<int64_t>(*f.since - DEC_8_2026) : std::nullopt);
    add("until", f.until ? std::optional<int64_t>(*f.until - DEC_8_2026) : std::nullopt);
    return text + (arguments.sessionsCsv ? " csv" : "");
}

class SessionArgumentsTest : public testing::TestWithParam<SessionArgumentsCase> {
protected:
    CEnvGuard m_utc{"TZ", "UTC"};
};

TEST_P(SessionArgumentsTest, ReadsTheFilterOrSaysWhatIsWrong) {
    const SessionArgumentsCase& c = GetParam();
    std::vector<const char*> argv = {"OrvaneSystemDx"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(Describe(ParseProgramArguments(static_cast<int>(argv.size()), argv.data())),
              c.expected);
}

const char* const TIME_ERROR = "needs a local time YYYY-MM-DD[ HH:MM[:SS]]";

INSTANTIATE_TEST_SUITE_P(
    Arguments, SessionArgumentsTest,
    testing::Values(
        SessionArgumentsCase{{"--sessions"}, "sessions"},
        SessionArgumentsCase{{"--sessions", "--mesid", "423456789", "--card", "10", "--csv"},
                             "sessions mesid=423456789 card=10 csv"},
        SessionArgumentsCase{{"--since", "2026-12-08", "--until", "2026-12-08 14:05", "--sessions"},
                             "sessions since=0 until=50700"},
        SessionArgumentsCase{{"--sessions", "--since", "2026-12-08", "14:05:30", "/L:5"},
                             "sessions since=50730"},
        SessionArgumentsCase{{"--sessions", "--csv", "--help"}, "other csv"},
        SessionArgumentsCase{{"--sessions", "--card", "11"},
                             "error: --card needs a card number from 1 to 10"},
        SessionArgumentsCase{{"--sessions", "--mesid", "1234567890"},
                             "error: --mesid needs a MES ID of at most 9 digits"},
        SessionArgumentsCase{{"--sessions", "--since"},
                             std::string("error: --since ") + TIME_ERROR},
        SessionArgumentsCase{{"--sessions", "--since", "2026-02-29"},
                             std::string("error: --since ") + TIME_ERROR},
        SessionArgumentsCase{{"--sessions", "--until", "2026-12-08", "24:00"},
                             std::string("error: --until ") + TIME_ERROR},
        SessionArgumentsCase{{"--sessions", "--until", "2026-12-08 1:05"},
                             std::string("error: --until ") + TIME_ERROR},
        SessionArgumentsCase{{"--csv"}, "error: --csv goes with --sessions"},
        SessionArgumentsCase{{"--console", "--card", "2"}, "error: --card goes with --sessions"}));

std::vector<SessionRecord> TwoSessions() {
    SessionRecord ended;
    ended.card = 1;
    ended.serialNumber = 4711;
    ended.address = "host-a";
    ended.device = "corax";
    ended.mode = "sat-m";
    ended.mesId = 12345678;
    ended.service = "Data";
    ended.start = DEC_8_2026 + 3600;
    ended.end = DEC_8_2026 + 3600 + 3725;
    ended.duration = 3725;
    ended.outcome = "followed";
    ended.reason = "end record";
    SessionRecord open = ended;
    open.card = 10;
    open.serialNumber = 815;
    open.address = "rack \"B\", left";
    open.service = " ";
    open.mesId = 7;
    open.start = DEC_8_2026 + 7200;
    open.end.reset();
    open.duration.reset();
    open.reason = "";
    return {open, ended};
}

TEST(SessionListTest, PrintsAnAlignedTableAndCsvInLocalTime) {
    CEnvGuard utc("TZ", "UTC");
    EXPECT_EQ(SessionTable(TwoSessions()),
              "Start                End                  Duration  Card  Serial  Address         "
              "Device  Mode     MES ID  Service  Outcome   Reason\n"
              "2026-12-08 02:00:00                                   10     815  rack \"B\", left  "
              "corax   sat-m         7           followed\n"
              "2026-12-08 01:00:00  2026-12-08 02:02:05   1:02:05     1    4711  host-a          "
              "corax   sat-m  12345678  Data     followed  end record\n");
    EXPECT_EQ(SessionCsv(TwoSessions()),
              "start,end,duration,card,serial,address,device,mode,mesid,service,outcome,reason\n"
              "2026-12-08 02:00:00,,,10,815,\"rack \"\"B\"\", left\",corax,sat-m,7,,followed,\n"
              "2026-12-08 01:00:00,2026-12-08 02:02:05,3725,1,4711,host-a,corax,sat-m,12345678,"
              "Data,followed,end record\n");
}

// The station's database at `path` with `rows` more sessions two a minute:
// every tenth open, every seventh refused, card 3's with a long address,
// the others' with a comma and quotes, MES IDs of up to 9 digits.
void WriteHistory(const std::string& path, int rows) {
    ASSERT_TRUE(CSessionHistory(path, [](const std::string&) {}).Open());
    CSqliteDatabase db;
    ASSERT_TRUE(db.Open(path, CSqliteDatabase::Access::ReadWriteCreate));
    const std::string insert =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows) +
        ") INSERT INTO sessions(run, card, serial, address, device, mode, mes_id, service, "
        "start_time, end_time, outcome, reason, duration) SELECT 1, 1 + i % 3, 4700 + i, "
        "iif(i % 3 = 2, 'card-host-with-a-long-name.example.org:48001', 'rack \"B\", left'), "
        "'corax', 'sat-m', i * 2750159, iif(i % 4 = 0, ' ', 'Data'), 1796688000 + i / 2 * 60, "
        "iif(i % 10 = 0, NULL, 1796688000 + i * 4061), iif(i % 7 = 0, 'refused', 'followed'), "
        "iif(i % 7 = 0, 'held by card 1; resync', iif(i % 10 = 0, '', 'end record')), "
        "iif(i % 10 = 0, NULL, i * 4001) FROM n";
    ASSERT_TRUE(db.Exec(insert.c_str())) << db.Error();
}

struct Listing {
    int status = -1;
    std::string out;
    std::string err;
};

// RunSessionList into memory, or onto `to` when given.
Listing List(const std::string& dataDir, const SessionFilter& filter, bool csv,
             FILE* to = nullptr) {
    CCapturedOutput out;
    CCapturedOutput err;
    Listing listing;
    listing.status =
        RunSessionList(dataDir, filter, csv, to != nullptr ? to : out.File(), err.File());
    listing.out = out.Text();
    listing.err = err.Text();
    return listing;
}

class SessionStreamTest : public testing::Test {
protected:
    CEnvGuard m_utc{"TZ", "UTC"};
    CTempDir m_dir{"orvane-sessions"};
    const std::string m_path = m_dir.Path() + "/" + SESSION_DATABASE_NAME;
};

TEST_F(SessionStreamTest, PrintsWhatTheListInMemoryGivesByteForByte) {
    WriteHistory(m_path, 150);
    // Only the rows that pass set the widths: card 3's are left out with card 1.
    SessionFilter cardOne;
    cardOne.card = 1;
    SessionFilter noMatch;
    noMatch.mesId = 1;
    for (const SessionFilter& filter : {SessionFilter{}, cardOne, noMatch}) {
        std::vector<SessionRecord> sessions;
        std::string error;
        ASSERT_EQ(QuerySessions(m_path, filter, sessions, error), SessionQueryResult::Ok);
        for (const bool csv : {false, true}) {
            const Listing listing = List(m_dir.Path(), filter, csv);
            EXPECT_EQ(listing.out, csv ? SessionCsv(sessions) : SessionTable(sessions));
            EXPECT_EQ(listing.status, 0) << listing.err;
        }
    }
}

TEST_F(SessionStreamTest, AWriteThatFailsIsToldAndFailsTheRun) {
    WriteHistory(m_path, 150);  // more than a stdio buffer holds
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    struct Case {
        FILE* out;
        bool csv;
        std::string why;
    };
    for (const Case& c : {Case{std::fopen("/dev/full", "w"), false, "No space left on device"},
                          Case{fdopen(ends[1], "w"), true, "Broken pipe"}}) {
        ASSERT_NE(c.out, nullptr);
        const Listing listing = List(m_dir.Path(), {}, c.csv, c.out);
        EXPECT_EQ(listing.status, SESSIONS_UNREADABLE);
        EXPECT_EQ(listing.err, "OrvaneSystemDx: cannot write the session list: " + c.why + "\n");
        std::fclose(c.out);
    }
}

TEST_F(SessionStreamTest, EveryPassOfAReaderSeesTheHistoryAsItWasWhenOpened) {
    WriteHistory(m_path, 2);
    CSessionReader reader;
    std::string error;
    ASSERT_EQ(reader.Open(m_path, error), SessionQueryResult::Ok) << error;
    WriteHistory(m_path, 2);  // a station writing meanwhile
    size_t seen = 0;
    size_t stopAt = 0;
    const SessionVisitor count = [&](const SessionRecord&) { return ++seen != stopAt; };
    EXPECT_EQ(reader.ForEach({}, count, error), SessionQueryResult::Ok);
    stopAt = 3;
    EXPECT_EQ(reader.ForEach({}, count, error), SessionQueryResult::Ok);
    EXPECT_EQ(seen, 3u) << "two, then one: the visitor's false stops the pass";
    seen = 0;
    stopAt = 0;
    EXPECT_EQ(ForEachSession(m_path, {}, count, error), SessionQueryResult::Ok);
    EXPECT_EQ(seen, 4u);
}

}  // namespace
