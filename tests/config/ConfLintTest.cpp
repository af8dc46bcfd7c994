// The configuration checker: a warning on each line the reader takes silently or differently from
// how it is written, none on a clean file, and the lines named when read from a file.
#include "config/ConfLint.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

// One expected warning: its line (0: none) and a part of its text.
struct Expected {
    int line;
    const char* part;
};

struct LintCase {
    const char* name;
    std::string file;
    LogIntervalOption option;
    std::vector<Expected> warnings;
};

void PrintTo(const LintCase& c, std::ostream* out) {
    *out << c.name;
}

// Every case but the log interval ones runs with a valid interval in effect.
const LogIntervalOption WITH_L10{10, "/L:10"};
const LogIntervalOption NO_OPTION{0, ""};

std::string Card(const std::string& header, const std::string& address, const std::string& serial,
                 const std::string& mode = "sat-b", const std::string& device = "corax") {
    return "[" + header + "]\naddress = " + address + ";\nserialno = " + serial +
           ";\nmode = " + mode + ";\ndevice = " + device + ";\n";
}

class ConfLintTest : public testing::TestWithParam<LintCase> {};

TEST_P(ConfLintTest, WarnsOnTheLinesTheReaderTakesDifferently) {
    const LintCase& c = GetParam();
    const std::vector<ConfWarning> warnings = LintConfigText(c.file, c.option);
    std::string all;
    for (const ConfWarning& warning : warnings) {
        all += std::to_string(warning.line) + ": " + warning.text + "\n";
    }
    ASSERT_EQ(warnings.size(), c.warnings.size()) << all;
    for (size_t i = 0; i < warnings.size(); ++i) {
        EXPECT_EQ(warnings[i].line, c.warnings[i].line) << all;
        EXPECT_NE(warnings[i].text.find(c.warnings[i].part), std::string::npos) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfLintTest,
    testing::Values(
        LintCase{"CleanFile",
                 "Notes.\n\n" + Card("card_1", "host1", "1234") +
                     "\n[Card_2]\nAddress = 192.0.2.10;   rack B\nSerialNo = 00815;\n"
                     "Mode = sat-b;\nDevice = tarsa;\n\n[watch]\nmesid = 423456789;\n"
                     "[als]\nperiod = 60;\n[log]\nperiod = 10;\n",
                 NO_OPTION,
                 {}},
        LintCase{"DigitsFollowedByLetters",
                 "[watch]\nmesid = 4231OOO1;\n[als]\nperiod = 15s;\n",
                 WITH_L10,
                 {{2, "\"4231OOO1\" is read as 4231: the number ends before \"O\""},
                  {4, "\"15s\" is read as 15"}}},
        LintCase{"NoDigitAtAll",
                 "[als]\nperiod = ten;\n[watch]\nmesid = x;\n",
                 WITH_L10,
                 {{2,
                   "\"ten\" holds no number: the station reads it as 0, and an ALS period of "
                   "0 switches the ALS handling off"},
                  {4, "MES ID 0 is put on the watch list"}}},
        LintCase{"SectionOfNoKind",
                 "[card1]\naddress = h;\n[wacth]\nmesid = 5;\nNote (see [rack B]).\n",
                 WITH_L10,
                 {{1, "needs \"card_\""},
                  {3, "section \"[wacth]\" is of no kind the station knows"},
                  {5, "\"[rack B]\""}}},
        LintCase{"KeyLinesOutOfOrder",
                 "[card_1]\nserialno = 5;\naddress = h;\nmode = sat-b;\ndevice = corax;\n",
                 WITH_L10,
                 {{2, "the key \"address\" was expected here, found the key \"serialno\""},
                  {3, "the key \"serialno\" was expected here, found the key \"address\""}}},
        LintCase{"BlankLineAfterTheHeader",
                 "[card_1]\n\naddress = h;\nserialno = 5;\nmode = sat-b;\ndevice = corax;\n",
                 WITH_L10,
                 {{2, "the key \"address\" was expected here, found an empty line"},
                  {3, "\"serialno\" was expected"},
                  {4, "\"mode\" was expected"},
                  {5, "\"device\" was expected"}}},
        LintCase{
            "AHeaderTakenAsTheDeviceLine",
            "[card_1]\naddress = h;\nserialno = 5;\nmode = sat-b;\n" + Card("card_2", "h", "6"),
            WITH_L10,
            {{5, "found \"[card_2]\" (a \"[\" on a counted line opens no section"}}},
        LintCase{"ValuesWithoutTheirSemicolon",
                 "[card_1]\naddress = h\nserialno = 12 34;\nmode = sat-b rack\n"
                 "device = corax ;\n[watch]\nmesid = 7\r\n",
                 WITH_L10,
                 {{2, "the value \"h\" has no \";\" after it: the station takes it as missing"},
                  {3, "the station reads \"12\" and ignores \"34\" before the \";\""},
                  {4,
                   "\"sat-b\" has no \";\" after it: the station reads \"sat-b\" and ignores "
                   "\"rack\""},
                  {7, "the value \"7\" has no \";\""}}},
        LintCase{"MissingEqualsAndValue",
                 "[als]\nperiod 10;\n[watch]\nmesid = ;\n",
                 WITH_L10,
                 {{2, "the key \"period\" has no \"=\""}, {4, "the key \"mesid\" has no value"}}},
        LintCase{"SameSerialTwiceOnOneHost",
                 Card("card_1", "h1", "815") + Card("card_2", "H1", "0815") +
                     Card("card_3", "h2", "815"),
                 WITH_L10,
                 {{8,
                   "serial number 0815 is configured for a second card of host \"H1\" (first "
                   "on line 3)"}}},
        LintCase{"SectionCutShortByTheEndOfTheFile",
                 "[watch]\nmesid = 1;\n[card_3]\naddress = h;\n",
                 WITH_L10,
                 {{3, "section \"[card_3]\" ends with the file after 1 of its 4 lines"}}},
        LintCase{"LogIntervalZeroInTheFile",
                 "[log]\nperiod = -5;\n[log]\nperiod = 0;\n[log]\nperiod = 9;\n",
                 WITH_L10,
                 {{4,
                   "the log sampling interval is 0: no samples are taken and no statistics "
                   "file will be written"}}},
        LintCase{"FirstValidLogIntervalHolds",
                 "[log]\nperiod = 5;\n[log]\nperiod = 0;\n",
                 NO_OPTION,
                 {}},
        LintCase{"LogIntervalZeroFromTheCommandLine",
                 "[als]\nperiod = 10;\n",
                 LogIntervalOption{0, "/L:3"},
                 {{0, "\"/L:3\" gives 0: the command line takes 4 to 120"}}},
        LintCase{"NoLogIntervalAnywhere",
                 "",
                 NO_OPTION,
                 {{0, "neither a [log] section nor the command line gives one"}}},
        LintCase{"CarriageReturnsAndLongLinesKeepTheLineCount",
                 "[watch]\r\nmesid = 1;\r\n" + std::string(300, 'x') + "\n[log" +
                     std::string(300, 'y') + "]\r\nperiod = 5x;\r\n",
                 WITH_L10,
                 {{5, "\"5x\" is read as 5"}}}),
    [](const testing::TestParamInfo<LintCase>& param) { return std::string(param.param.name); });

TEST(ConfLintFileTest, ReadsTheFileAndNamesItsLines) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("orvane_lint_test_" + std::to_string(getpid()) + ".ini"))
                                 .string();
    std::ofstream(path, std::ios::binary) << "[watch]\nmesid = 4231OOO1;\n";
    const std::vector<ConfWarning> warnings = LintConfigFile(path, WITH_L10);
    std::filesystem::remove(path);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(FormatConfWarning(path, warnings[0]),
              path + ":2: warning: \"4231OOO1\" is read as 4231: the number ends before \"O\"");
    EXPECT_EQ(FormatConfWarning(path, ConfWarning{0, "text"}), path + ": warning: text");

    // A file that cannot be read: the reader's own message says so, nothing more.
    EXPECT_TRUE(LintConfigFile(path, {}).empty());
    EXPECT_TRUE(LintConfigFile(std::filesystem::temp_directory_path().string(), {}).empty());
}

}  // namespace
