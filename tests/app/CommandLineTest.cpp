// The "A" and "L" options of the command line, both programs' own switches with their help and
// version, and the status table's texts.
#include "app/program/CommandLine.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <utility>
#include <vector>

#include "app/program/ProgramArguments.h"
#include "app/view/StatusTable.h"

namespace {

struct OptionCase {
    const char* commandLine;
    int32_t alsPeriod;
    int32_t logInterval;
};

void PrintTo(const OptionCase& c, std::ostream* out) {
    *out << '"' << c.commandLine << '"';
}

class CommandLineOptionsTest : public testing::TestWithParam<OptionCase> {};

TEST_P(CommandLineOptionsTest, GivesThePeriods) {
    const OptionCase& c = GetParam();
    const CommandLineOptions options = ParseCommandLineOptions(c.commandLine);
    EXPECT_EQ(options.alsPeriod, c.alsPeriod) << c.commandLine;
    EXPECT_EQ(options.logInterval, c.logInterval) << c.commandLine;
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, CommandLineOptionsTest,
    testing::Values(
        OptionCase{"OrvaneSystemDx", 0, 0},       // only the path: no option
        OptionCase{"OrvaneSystemDx/A:30", 0, 0},  // no blank at all
        OptionCase{"OrvaneSystemDx /A:30", 30, 0},
        OptionCase{"OrvaneSystemDx -A=30", 30, 0},  // first and third character free
        OptionCase{"OrvaneSystemDx xAy30", 30, 0}, OptionCase{"OrvaneSystemDx /L:10", 0, 10},
        OptionCase{"OrvaneSystemDx /L:3", 0, 0},    // below 4
        OptionCase{"OrvaneSystemDx /L:121", 0, 0},  // above 120
        OptionCase{"OrvaneSystemDx /L:4", 0, 4}, OptionCase{"OrvaneSystemDx /L:120", 0, 120},
        OptionCase{"OrvaneSystemDx /A:30 /A:", 30, 0},    // empty value keeps the period
        OptionCase{"OrvaneSystemDx /L:10 /L:", 0, 0},     // empty value clears the interval
        OptionCase{"OrvaneSystemDx /L:10 /L:abc", 0, 0},  // not a number
        OptionCase{"OrvaneSystemDx /A:30 /A:45", 45, 0},  // the later one wins
        OptionCase{"OrvaneSystemDx /A:-5", -5, 0},        // no range check
        OptionCase{"OrvaneSystemDx /A:12abc", 12, 0},     // atoi stops at a non-digit
        OptionCase{"OrvaneSystemDx /A:abc", 0, 0},
        OptionCase{"OrvaneSystemDx /a:30 /l:10", 0, 0},       // case-sensitive
        OptionCase{"OrvaneSystemDx A /A", 0, 0},              // too short for a value
        OptionCase{"OrvaneSystemDx /A:30 xL", 30, 0},         // "xL": the letter with no value
        OptionCase{"OrvaneSystemDx  /A:30   /L:8  ", 30, 8},  // runs of blanks: empty tokens
        OptionCase{"OrvaneSystemDx\t/A:30", 0, 0},            // a tab is no separator
        OptionCase{"OrvaneSystemDx /A:30\t/L:10", 30, 0},     // one token "30\t/L:10"
        OptionCase{"OrvaneSystemDx --console /A:12 -L:6", 12, 6},
        OptionCase{"OrvaneSystemDx --check-config /tmp/x.ini", 0, 0},
        // A program path with a blank: its parts are tokens like any other.
        OptionCase{"/opt/My Apps/OrvaneSystemDx /A:7", 7, 0},
        OptionCase{"/opt/xL:50/My dir/OrvaneSystemDx", 0, 0},
        OptionCase{"/opt/my bL:50/OrvaneSystemDx", 0, 50},
        // Beyond 32 bits the nearest limit, not undefined behaviour.
        OptionCase{"OrvaneSystemDx /A:99999999999", INT32_MAX, 0},
        OptionCase{"OrvaneSystemDx /A:-99999999999", INT32_MIN, 0},
        OptionCase{"OrvaneSystemDx /L:99999999999", 0, 0}));

TEST(CommandLineTest, HandsEveryNonEmptyTokenOverWithKeyAndValue) {
    std::vector<std::pair<std::string, std::string>> seen;
    ReadCommandLineOptions("prog /A:30  xy --console z",
                           [&seen](const std::string& key, const std::string& value) {
                               seen.emplace_back(key, value);
                           });
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"A", "30"}, {"y", ""}, {"-", "onsole"}, {"", ""}};
    EXPECT_EQ(seen, expected);
}

TEST(CommandLineTest, JoinsTheArgumentsWithSingleBlanks) {
    const char* argv[] = {"/usr/bin/OrvaneSystemDx", "/A:30", "two words", ""};
    EXPECT_EQ(JoinCommandLine(4, argv), "/usr/bin/OrvaneSystemDx /A:30 two words ");
    EXPECT_EQ(JoinCommandLine(1, argv), "/usr/bin/OrvaneSystemDx");
}

struct ArgumentsCase {
    std::vector<const char*> arguments;  // without the program name
    ProgramMode mode;
    const char* configFile;
    const char* screenshotFile;
    int screenshotAfter;
};

void PrintTo(const ArgumentsCase& c, std::ostream* out) {
    *out << "OrvaneSystemDx";
    for (const char* argument : c.arguments) {
        *out << ' ' << argument;
    }
}

class ProgramArgumentsTest : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(ProgramArgumentsTest, ChoosesTheMode) {
    const ArgumentsCase& c = GetParam();
    std::vector<const char*> argv = {"OrvaneSystemDx"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const ProgramArguments result =
        ParseProgramArguments(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(result.mode, c.mode);
    EXPECT_EQ(result.configFile, c.configFile);
    EXPECT_EQ(result.screenshotFile, c.screenshotFile);
    EXPECT_EQ(result.screenshotAfterSeconds, c.screenshotAfter);
    EXPECT_EQ(result.error.empty(), c.mode != ProgramMode::Error);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, ProgramArgumentsTest,
    testing::Values(
        ArgumentsCase{{}, ProgramMode::Dialog, "", "", 20},
        ArgumentsCase{{"/A:30", "-L:10", "xAy5"}, ProgramMode::Dialog, "", "", 20},
        ArgumentsCase{{"--console", "/L:10"}, ProgramMode::Console, "", "", 20},
        ArgumentsCase{{"--check-config"}, ProgramMode::CheckConfig, "", "", 20},
        ArgumentsCase{{"--check-config", "my.ini"}, ProgramMode::CheckConfig, "my.ini", "", 20},
        ArgumentsCase{{"--check-config", "-L:10"}, ProgramMode::CheckConfig, "", "", 20},
        ArgumentsCase{
            {"--strict", "--check-config", "my.ini"}, ProgramMode::CheckConfig, "my.ini", "", 20},
        ArgumentsCase{{"--console", "--strict"}, ProgramMode::Error, "", "", 20},
        ArgumentsCase{{"--help"}, ProgramMode::Help, "", "", 20},
        ArgumentsCase{{"-h"}, ProgramMode::Help, "", "", 20},
        ArgumentsCase{{"--version"}, ProgramMode::Version, "", "", 20},
        ArgumentsCase{{"--console", "--version"}, ProgramMode::Version, "", "", 20},
        ArgumentsCase{{"--screenshot", "a.png", "--screenshot-after", "5"},
                      ProgramMode::Dialog,
                      "",
                      "a.png",
                      5},
        ArgumentsCase{{"--consol"}, ProgramMode::Error, "", "", 20},
        ArgumentsCase{{"--help", "--bogus"}, ProgramMode::Error, "", "", 20},
        ArgumentsCase{{"--screenshot"}, ProgramMode::Error, "", "", 20},
        ArgumentsCase{{"--screenshot", "--console"}, ProgramMode::Error, "", "", 20},
        ArgumentsCase{{"--screenshot-after", "soon"}, ProgramMode::Error, "", "", 20}));

TEST(ProgramArgumentsTest, TakesTheHttpSwitches) {
    struct Case {
        std::vector<const char*> arguments;
        bool ok;
        const char* endpoint;
        const char* tokenFile;
    };
    const Case cases[] = {
        {{"--console", "--http", "8470"}, true, "8470", ""},
        {{"--http", "127.0.0.2:0", "--http-token", "t.txt", "/A:5"}, true, "127.0.0.2:0", "t.txt"},
        {{"--http"}, false, "", ""},
        {{"--http", "--console"}, false, "", ""},
        {{"--http", ""}, false, "", ""},
        {{"--http-token", "t.txt"}, false, "", "t.txt"},  // a token without a server
        {{"--http", "80", "--http-token"}, false, "80", ""},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"OrvaneSystemDx"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const ProgramArguments result =
            ParseProgramArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(result.mode != ProgramMode::Error, c.ok) << c.arguments.size();
        EXPECT_EQ(result.httpEndpoint, c.endpoint);
        EXPECT_EQ(result.httpTokenFile, c.tokenFile);
    }
}

TEST(ProgramArgumentsTest, TakesTheBrokerSwitchesInBothModes) {
    const char* argv[] = {"OrvaneSystemDx",
                          "--console",
                          "--mqtt",
                          "broker:1884",
                          "--name",
                          "north",
                          "--mqtt-user",
                          "st",
                          "--mqtt-password-file",
                          "pw",
                          "--mqtt-tls",
                          "ca.pem",
                          "--mqtt-prefix",
                          "site/north"};
    const ProgramArguments result = ParseProgramArguments(14, argv);
    EXPECT_EQ(result.mode, ProgramMode::Console) << result.error;
    EXPECT_EQ(result.mqttBroker, "broker:1884");
    EXPECT_EQ(result.stationName, "north");
    EXPECT_EQ(result.mqttUser, "st");
    EXPECT_EQ(result.mqttPasswordFile, "pw");
    EXPECT_EQ(result.mqttCaFile, "ca.pem");
    EXPECT_EQ(result.mqttPrefix, "site/north");

    // Broker details without a broker, a password without a user, a switch
    // without its value.
    for (std::vector<const char*> wrong : {std::vector<const char*>{"--mqtt-user", "st"},
                                           {"--mqtt", "b", "--mqtt-password-file", "pw"},
                                           {"--mqtt"},
                                           {"--name", "--console"}}) {
        wrong.insert(wrong.begin(), "OrvaneSystemDx");
        const ProgramArguments failed =
            ParseProgramArguments(static_cast<int>(wrong.size()), wrong.data());
        EXPECT_EQ(failed.mode, ProgramMode::Error) << wrong[1];
    }
}

TEST(ProgramArgumentsTest, NamesTheVersion) {
    EXPECT_EQ(ProgramVersionText(), "OrvaneSystemDx 2.0.0");
    EXPECT_EQ(ProgramVersionText(ProgramKind::Headless), "orvane-station 2.0.0");
}

struct StationSwitchCase {
    ProgramKind kind;
    std::vector<const char*> arguments;
    ProgramMode mode;
    ConsoleOutput output;
    const char* logFile;
    const char* error;  // a part of the error; "" when there is none
};

void PrintTo(const StationSwitchCase& c, std::ostream* out) {
    *out << ProgramName(c.kind);
    for (const char* argument : c.arguments) {
        *out << ' ' << argument;
    }
}

class StationSwitchesTest : public testing::TestWithParam<StationSwitchCase> {};

TEST_P(StationSwitchesTest, ChooseTheOutputTheLogAndTheProgramsModes) {
    const StationSwitchCase& c = GetParam();
    std::vector<const char*> argv = {ProgramName(c.kind)};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const ProgramArguments result =
        ParseProgramArguments(static_cast<int>(argv.size()), argv.data(), c.kind);
    EXPECT_EQ(result.kind, c.kind);
    EXPECT_EQ(result.mode, c.mode);
    EXPECT_EQ(result.error.find(c.error), 0u) << result.error;
    if (c.mode != ProgramMode::Error) {
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.logFile, c.logFile);
    }
}

constexpr ProgramKind FULL = ProgramKind::Full;
constexpr ProgramKind HEADLESS = ProgramKind::Headless;
constexpr ConsoleOutput AUTO = ConsoleOutput::Automatic;

INSTANTIATE_TEST_SUITE_P(
    Switches, StationSwitchesTest,
    testing::Values(
        // The headless program runs the console without being asked.
        StationSwitchCase{HEADLESS, {}, ProgramMode::Console, AUTO, "", ""},
        StationSwitchCase{HEADLESS, {"--console", "/L:10"}, ProgramMode::Console, AUTO, "", ""},
        StationSwitchCase{HEADLESS, {"--check-config"}, ProgramMode::CheckConfig, AUTO, "", ""},
        StationSwitchCase{HEADLESS, {"--version"}, ProgramMode::Version, AUTO, "", ""},
        StationSwitchCase{
            HEADLESS, {"--screenshot", "a.png"}, ProgramMode::Error, AUTO, "", "--screenshot"},
        StationSwitchCase{
            HEADLESS, {"--events"}, ProgramMode::Console, ConsoleOutput::Events, "", ""},
        StationSwitchCase{HEADLESS,
                          {"--log", "/var/log/cards.log", "--table"},
                          ProgramMode::Console,
                          ConsoleOutput::Table,
                          "/var/log/cards.log",
                          ""},
        StationSwitchCase{
            FULL, {"--console", "--table"}, ProgramMode::Console, ConsoleOutput::Table, "", ""},
        StationSwitchCase{FULL, {"--log", "c.log"}, ProgramMode::Dialog, AUTO, "c.log", ""},
        StationSwitchCase{FULL, {"--table"}, ProgramMode::Error, AUTO, "", "--table goes with"},
        StationSwitchCase{FULL,
                          {"--console", "--table", "--events"},
                          ProgramMode::Error,
                          AUTO,
                          "",
                          "--table and --events"},
        StationSwitchCase{
            FULL, {"--console", "--log"}, ProgramMode::Error, AUTO, "", "--log needs"},
        StationSwitchCase{
            FULL, {"--log", "--console"}, ProgramMode::Error, AUTO, "", "--log needs"},
        StationSwitchCase{FULL,
                          {"--check-config", "--log", "c.log"},
                          ProgramMode::Error,
                          AUTO,
                          "",
                          "--log goes with"}));

TEST(ProgramArgumentsTest, EachProgramsHelpNamesItsOwnSwitches) {
    const std::string full = ProgramUsageText("OrvaneSystemDx");
    const std::string headless = ProgramUsageText("orvane-station", ProgramKind::Headless);
    for (const char* option :
         {"--console", "--table", "--events", "--log FILE", "--check-config"}) {
        EXPECT_NE(full.find(option), std::string::npos) << option;
        EXPECT_NE(headless.find(option), std::string::npos) << option;
    }
    EXPECT_NE(full.find("--screenshot"), std::string::npos);
    EXPECT_EQ(headless.find("--screenshot"), std::string::npos);
}

TEST(StatusTableTest, ShowsPeriodsAsUnsigned32BitNumbers) {
    EXPECT_EQ(FormatPeriod(-5), "4294967291");
    EXPECT_EQ(FormatPeriod(0), "0");
    EXPECT_EQ(FormatPeriod(60), "60");
    EXPECT_EQ(FormatPeriod(INT32_MIN), "2147483648");
}

TEST(StatusTableTest, ShowsTheWatchListSeparatedByCommas) {
    EXPECT_EQ(FormatWatchList({}), "");
    EXPECT_EQ(FormatWatchList({111}), "111");
    EXPECT_EQ(FormatWatchList({111, 222, 333}), "111, 222, 333");
}

TEST(StatusTableTest, GivesTheRowTextsInHeadingOrder) {
    CardState busy;
    busy.number = 7;
    busy.address = "host-a";
    busy.serialNumber = 4711;
    busy.status = 4;
    busy.mesId = 12345678;
    busy.mode = 1;
    busy.device = 2;
    busy.service = 2;
    const std::array<std::string, STATUS_COLUMN_COUNT> busyTexts = {
        "7", "sat-m", "host-a", "tarsa", "4711", "Busy Session", "12345678", "Data"};
    EXPECT_EQ(StatusRowTexts(busy), busyTexts);

    CardState idle;
    idle.number = 1;
    idle.address = "10.0.0.1";
    idle.serialNumber = 815;
    idle.mode = 3;
    idle.device = 1;
    const std::array<std::string, STATUS_COLUMN_COUNT> idleTexts = {
        "1", "sat-c-tdm", "10.0.0.1", "corax-e", "815", "Not Connected", "0", " "};
    EXPECT_EQ(StatusRowTexts(idle), idleTexts);

    CardState odd = idle;
    odd.status = 9;  // no string for it: an empty field, as a missing resource gives
    EXPECT_EQ(StatusRowTexts(odd)[5], "");
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(StatusTableTest, RendersAlignedColumnsThenTheFooterThenABlankLine) {
    CardState first;
    first.number = 1;
    first.address = "a";
    first.serialNumber = 1;
    first.mode = 0;
    first.device = 0;
    CardState second = first;
    second.number = 2;
    second.address = "a-much-longer-host-name-than-the-heading";
    second.serialNumber = 123456789;
    second.status = 4;
    second.mesId = 12345678;
    second.service = 6;

    const std::string text = RenderStatusTable({first, second}, {111, 222}, -5, 10);
    const std::vector<std::string> lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 8u) << text;
    ASSERT_TRUE(text.ends_with("\n\n"));

    // Every cell starts where its heading starts.
    const auto rowTexts = StatusRowTexts(second);
    size_t headingFrom = 0;
    size_t cellFrom = 0;
    for (size_t c = 0; c < STATUS_COLUMN_COUNT; ++c) {
        const size_t heading = lines[0].find(STATUS_COLUMN_HEADINGS[c], headingFrom);
        const size_t cell = lines[2].find(rowTexts[c], cellFrom);
        ASSERT_NE(heading, std::string::npos) << STATUS_COLUMN_HEADINGS[c];
        EXPECT_EQ(cell, heading) << STATUS_COLUMN_HEADINGS[c];
        headingFrom = heading + 1;
        cellFrom = cell + 1;
    }
    EXPECT_EQ(lines[1].find("Not Connected"), lines[0].find("Op Status"));
    EXPECT_TRUE(lines[2].ends_with("Telex MM"));

    EXPECT_EQ(lines[3], "");
    EXPECT_TRUE(lines[4].starts_with("ALS duration [s]"));
    EXPECT_TRUE(lines[4].ends_with("  4294967291"));
    EXPECT_TRUE(lines[5].starts_with("Log interval [s]"));
    EXPECT_TRUE(lines[5].ends_with("  10"));
    EXPECT_TRUE(lines[6].starts_with("MESIds in Watchlist"));
    EXPECT_TRUE(lines[6].ends_with("  111, 222"));
    EXPECT_EQ(lines[4].find("4294967291"), lines[6].find("111"));
    EXPECT_EQ(lines[7], "");
}

}  // namespace
