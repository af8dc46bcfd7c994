// orvane-cardhost's command line: each bad one refused with a reason, the defaults, both forms of
// every option, and --help.
#include "cardhost/Options.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct BadCase {
    std::vector<std::string> arguments;
    std::string error;
};

// Shown in test names and failures as the command line itself.
void PrintTo(const BadCase& c, std::ostream* os) {
    *os << "orvane-cardhost";
    for (const std::string& argument : c.arguments) {
        *os << ' ' << argument;
    }
}

class BadCommandLine : public testing::TestWithParam<BadCase> {};

TEST_P(BadCommandLine, IsRefusedWithAReason) {
    CardHostCommandLine line;
    std::string error;
    EXPECT_FALSE(ParseCommandLine(GetParam().arguments, line, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadCommandLine,
    testing::Values(
        BadCase{{}, "at least one --card SERIAL is needed"},
        BadCase{{"--port", "0"}, "at least one --card SERIAL is needed"},
        BadCase{{"--card"}, "--card needs a value"},
        BadCase{{"--card", "0"}, "--card needs a serial number from 1 to 2147483647, not '0'"},
        BadCase{{"--card", "2147483648"},
                "--card needs a serial number from 1 to 2147483647, not '2147483648'"},
        BadCase{{"--card", "-5"}, "--card needs a serial number from 1 to 2147483647, not '-5'"},
        BadCase{{"--card", "1", "--card", "01"}, "--card 1 is given twice"},
        BadCase{{"--card=1", "--card=2", "--card=3", "--card=4", "--card=5", "--card=6", "--card=7",
                 "--card=8", "--card=9"},
                "a host carries at most 8 cards"},
        BadCase{{"--card", "1", "--device", "corax-x"},
                "--device must be corax, corax-e or tarsa, not 'corax-x'"},
        BadCase{{"--card", "1", "--port", "65536"}, "--port must be 0 to 65535, not '65536'"},
        BadCase{{"--card", "1", "--device", "tarsa", "--port", "1"},
                "--device and --port exclude each other"},
        BadCase{{"--card", "1", "--listen", "localhost"},
                "--listen needs an IP address, not 'localhost'"},
        BadCase{{"--card", "1", "--traffic", "0"},
                "--traffic needs sessions per minute above 0 and at most 6000, not '0'"},
        BadCase{{"--card", "1", "--traffic", "6/min"},
                "--traffic needs sessions per minute above 0 and at most 6000, not '6/min'"},
        BadCase{{"--card", "1", "--mesids", "20-10"},
                "--mesids needs FIRST-LAST with 0 <= FIRST <= LAST <= 99999999, not '20-10'"},
        BadCase{{"--card", "1", "--mesids", "1-100000000"},
                "--mesids needs FIRST-LAST with 0 <= FIRST <= LAST <= 99999999, not "
                "'1-100000000'"},
        BadCase{{"--card", "1", "--mesids", "17"},
                "--mesids needs FIRST-LAST with 0 <= FIRST <= LAST <= 99999999, not '17'"},
        BadCase{{"--card", "1", "--seed", "x"}, "--seed needs a whole number, not 'x'"},
        BadCase{{"--card", "1", "--flood", "0"}, "--flood needs a count above 0, not '0'"},
        BadCase{{"--card", "1", "--script="}, "--script needs a file name"},
        BadCase{{"--card", "1", "--verbose"}, "unknown option --verbose"},
        BadCase{{"--card", "1", "extra"}, "unexpected argument 'extra'"}));

TEST(Options, DefaultsAreACoraxHostOnLoopbackWithoutTraffic) {
    CardHostCommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--card", "4711"}, line, error)) << error;
    EXPECT_EQ(line.host.address, "127.0.0.1");
    EXPECT_EQ(line.host.port, 33254);
    EXPECT_EQ(line.host.serials, std::vector<uint32_t>{4711});
    EXPECT_EQ(line.host.trafficPerMinute, 0);
    EXPECT_EQ(line.host.mesIdFirst, 10000000u);
    EXPECT_EQ(line.host.mesIdLast, 10000999u);
    EXPECT_FALSE(line.host.seed.has_value());
    EXPECT_EQ(line.host.flood, 0u);
    EXPECT_TRUE(line.scriptFile.empty());
    EXPECT_FALSE(line.help);
}

TEST(Options, EveryOptionIsTakenInBothForms) {
    CardHostCommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(
        {"--listen", "127.3.4.5", "--device=corax-e", "--card", "0815", "--card=2", "--traffic",
         "2.5", "--mesids=5-9", "--seed", "99", "--flood", "1000", "--script=run.txt"},
        line, error))
        << error;
    EXPECT_EQ(line.host.address, "127.3.4.5");
    EXPECT_EQ(line.host.port, 33274);
    EXPECT_EQ(line.host.serials, (std::vector<uint32_t>{815, 2}));
    EXPECT_EQ(line.host.trafficPerMinute, 2.5);
    EXPECT_EQ(line.host.mesIdFirst, 5u);
    EXPECT_EQ(line.host.mesIdLast, 9u);
    EXPECT_EQ(line.host.seed, 99u);
    EXPECT_EQ(line.host.flood, 1000u);
    EXPECT_EQ(line.scriptFile, "run.txt");

    ASSERT_TRUE(ParseCommandLine({"--card", "1", "--device", "tarsa"}, line, error));
    EXPECT_EQ(line.host.port, 33284);
    ASSERT_TRUE(ParseCommandLine({"--card", "1", "--port", "0"}, line, error));
    EXPECT_EQ(line.host.port, 0);
}

TEST(Options, HelpNeedsNothingElse) {
    CardHostCommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--help"}, line, error));
    EXPECT_TRUE(line.help);
}

}  // namespace
