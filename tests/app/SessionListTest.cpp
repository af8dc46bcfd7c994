// `--sessions`: its arguments and how it prints the history.
#include "app/SessionList.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/ProgramArguments.h"
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

}  // namespace
