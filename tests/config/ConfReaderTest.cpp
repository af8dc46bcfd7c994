// The configuration reader: the example file, CR LF line ends, a missing file, paths that are no
// regular file, its read limit, value and section lookup, and what each kind of file gives.
#include "config/ConfReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "support/MessageRecorder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using namespace std::string_literals;

// What one reading gave, with each card written as
// "address serialText/serialNumber modeText/mode deviceText/device".
struct Reading {
    std::vector<std::string> cards;
    std::vector<int32_t> watch;
    int32_t als = 0;
    int32_t log = 0;
    std::vector<std::string> messages;
};

std::string TempPath() {
    static int counter = 0;
    return (std::filesystem::temp_directory_path() /
            ("orvane_config_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter) +
             ".ini"))
        .string();
}

Reading ReadPath(const std::string& path) {
    CMessageRecorder recorder;
    Reading reading;
    {
        CConfReader reader(path);
        std::vector<CardConfig> cards{CardConfig{}};  // replaced, not appended to
        reader.GetCards(cards);
        for (const CardConfig& card : cards) {
            reading.cards.push_back(card.address + " " + card.serialText + "/" +
                                    std::to_string(card.serialNumber) + " " + card.modeText + "/" +
                                    std::to_string(card.mode) + " " + card.deviceText + "/" +
                                    std::to_string(card.device));
        }
        reading.watch = {-7};
        reader.GetWatchList(reading.watch);
        reading.als = reader.GetAlsPeriod();
        reading.log = reader.GetLogInterval();
    }
    reading.messages = recorder.Messages();
    return reading;
}

Reading ReadText(const std::string& content) {
    const std::string path = TempPath();
    {
        std::ofstream file(path, std::ios::binary);
        file << content;
    }
    Reading reading = ReadPath(path);
    std::filesystem::remove(path);
    return reading;
}

std::string Card(const std::string& header, const std::string& serial,
                 const std::string& mode = "sat-b", const std::string& device = "corax") {
    return "[" + header + "]\naddress = h" + serial + ";\nserialno = " + serial +
           ";\nmode = " + mode + ";\ndevice = " + device + ";\n";
}

// Valid card sections with the serial numbers first, first + 1, ...
std::string Cards(int first, int count) {
    std::string text;
    for (int serial = first; serial < first + count; ++serial) {
        text += Card("card_" + std::to_string(serial), std::to_string(serial));
    }
    return text;
}

std::vector<std::string> AcceptedCards(int first, int count) {
    std::vector<std::string> cards;
    for (int serial = first; serial < first + count; ++serial) {
        const std::string number = std::to_string(serial);
        cards.push_back("h" + number + " " + number + "/" + number + " sat-b/0 corax/0");
    }
    return cards;
}

const char* const EXAMPLE_FILE =
    "Station configuration. Text before the first section is skipped.\n"
    "\n"
    "[card_1]\n"
    "address = host1;\n"
    "serialno = 1234;\n"
    "mode = sat-c-tdm;\n"
    "device = corax-e;\n"
    "\n"
    "[Card_2]\n"
    "Address = 192.0.2.10;   rack B\n"
    "SerialNo = 00815;\n"
    "Mode = sat-b;\n"
    "Device = tarsa;\n"
    "\n"
    "Notes may stand here, after the counted lines of a section.\n"
    "\n"
    "[watch]\n"
    "mesid = 423456789;\n"
    "\n"
    "[watch]\n"
    "mesid = 423456790;\n"
    "\n"
    "[als]\n"
    "period = 60;\n"
    "\n"
    "[log]\n"
    "period = 10;\n";

std::string WithCrLf(const std::string& text) {
    std::string converted;
    for (const char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

void ExpectExampleResults(const Reading& reading) {
    EXPECT_THAT(reading.cards, ElementsAre("host1 1234/1234 sat-c-tdm/3 corax-e/1",
                                           "192.0.2.10 00815/815 sat-b/0 tarsa/2"));
    EXPECT_THAT(reading.watch, ElementsAre(423456789, 423456790));
    EXPECT_EQ(reading.als, 60);
    EXPECT_EQ(reading.log, 10);
    EXPECT_THAT(reading.messages, IsEmpty());
}

TEST(ConfReader, ExampleFileGivesItsCardsWatchListAndPeriodsSilently) {
    ExpectExampleResults(ReadText(EXAMPLE_FILE));
}

TEST(ConfReader, CrLfLineEndsReadLikeLineFeeds) {
    ExpectExampleResults(ReadText(WithCrLf(EXAMPLE_FILE)));
}

TEST(ConfReader, MissingFileOrFolderGivesOneMessageAndNothingElse) {
    const std::string missing = TempPath();
    const std::string folder = TempPath();
    std::filesystem::create_directory(folder);
    for (const std::string& path : {missing, folder}) {
        const Reading reading = ReadPath(path);
        EXPECT_THAT(reading.messages, ElementsAre("Can't open " + path + "."));
        EXPECT_THAT(reading.cards, IsEmpty());
        EXPECT_THAT(reading.watch, IsEmpty());
        EXPECT_EQ(reading.als, -1);
        EXPECT_EQ(reading.log, -1);
    }
    std::filesystem::remove(folder);
}

// What a reading gave, in one line.
std::string Summary(const Reading& reading) {
    std::string text = "cards " + std::to_string(reading.cards.size()) + ", watch " +
                       std::to_string(reading.watch.size()) + ", als " +
                       std::to_string(reading.als) + ", log " + std::to_string(reading.log);
    for (const std::string& message : reading.messages) {
        text += "; " + message;
    }
    return text;
}

// Reads `path` in a child process, so that a reader that waits or reads for
// ever fails the test instead of hanging it: true when the child ended within
// 30 s with the summary `expected` (a different one is printed).
bool ReadsInChild(const std::string& path, const std::string& expected) {
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string summary = Summary(ReadPath(path));
        if (summary != expected) {
            std::fprintf(stderr, "read: %s\n", summary.c_str());
            _exit(1);
        }
        _exit(0);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        usleep(20000);
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ConfReader, PathThatIsNoRegularFileCannotBeOpenedAndIsNotWaitedOn) {
    const std::string fifo = TempPath();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer ever comes
    const std::string endless = TempPath();
    std::filesystem::create_symlink("/dev/zero", endless);
    for (const std::string& path : {fifo, endless}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(
            ReadsInChild(path, "cards 0, watch 0, als -1, log -1; Can't open " + path + "."));
        std::filesystem::remove(path);
    }
}

TEST(ConfReader, ReadsNoFurtherThanItsLimit) {
    // A sparse file of a terabyte: a section that ends at the limit is read,
    // the one right after it is not, and the rest is never read at all.
    const std::string path = TempPath();
    const std::string last = "[als]\nperiod = 5;\n";
    const std::string beyond = "[log]\nperiod = 9;\n";
    {
        std::ofstream file(path, std::ios::binary);
        file.seekp(static_cast<std::streamoff>(CONF_FILE_READ_LIMIT - last.size()));
        file << last << beyond;
    }
    ASSERT_EQ(truncate(path.c_str(), off_t{1} << 40), 0);
    EXPECT_TRUE(ReadsInChild(path, "cards 0, watch 0, als 5, log -1"));
    std::filesystem::remove(path);
}

struct GetValueCase {
    const char* key;
    const char* line;
    const char* value;
};

void PrintTo(const GetValueCase& c, std::ostream* os) {
    *os << c.key << " in \"" << c.line << '"';
}

class GetValueTest : public ::testing::TestWithParam<GetValueCase> {};

TEST_P(GetValueTest, FindsTheValue) {
    const GetValueCase& c = GetParam();
    EXPECT_EQ(CConfReader::GetValue(c.key, c.line), c.value) << "line: " << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    ConfReader, GetValueTest,
    ::testing::Values(GetValueCase{"address", "address = host1;", "host1"},
                      GetValueCase{"address", "ADDRESS=host1;", "host1"},  // keys are case-blind
                      GetValueCase{"mode", "Mode = Sat-B;", "Sat-B"},      // values keep their case
                      GetValueCase{"address", "address =\t \thost1\tnote", "host1"},
                      GetValueCase{"address", "address = host1 rack B", "host1"},
                      GetValueCase{"address", "address = a;b;", "a"},
                      GetValueCase{"address", "address = host1\n", "host1"},
                      GetValueCase{"address", "address = host1",
                                   ""},  // the line end alone ends nothing
                      GetValueCase{"address", "address = host1\r", ""},
                      GetValueCase{"address", "address = ;", ""},
                      GetValueCase{"address", "address =  \t", ""},
                      GetValueCase{"address", "address host1;", ""},  // no "="
                      GetValueCase{"address", "serialno = 5;", ""},   // key absent
                      GetValueCase{"address", "my address: = h;", "h"},
                      GetValueCase{"address", "address==x;", "=x"},
                      GetValueCase{"address", "x = 1; address = h;", "h"},
                      // Only the text before the first "=" is folded.
                      GetValueCase{"address", "x = 1; ADDRESS = h;", ""},
                      GetValueCase{"address", "x = address;", ""}));

struct KindCase {
    const char* name;
    SectionKind kind;
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << '"' << c.name << '"';
}

class ClassifySectionTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ClassifySectionTest, FirstTagFoundWins) {
    EXPECT_EQ(CConfReader::ClassifySection(GetParam().name), GetParam().kind)
        << "name: " << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    ConfReader, ClassifySectionTest,
    ::testing::Values(KindCase{"card_1", SECTION_CARD}, KindCase{"spare card_x", SECTION_CARD},
                      KindCase{"card_watch_als_log", SECTION_CARD}, KindCase{"card5", SECTION_NONE},
                      KindCase{"watch", SECTION_WATCH}, KindCase{"watchlog", SECTION_WATCH},
                      KindCase{"dials_log", SECTION_ALS}, KindCase{"catalog", SECTION_LOG},
                      KindCase{"general", SECTION_NONE}, KindCase{"", SECTION_NONE}));

// One file and everything that reading it must give.
struct FileCase {
    const char* name;
    std::string content;
    std::vector<std::string> cards;
    std::vector<int32_t> watch;
    int32_t als;
    int32_t log;
    std::vector<std::string> messages;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class FileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileTest, GivesItsResultsAndMessages) {
    const FileCase& c = GetParam();
    const Reading reading = ReadText(c.content);
    EXPECT_THAT(reading.cards, ElementsAreArray(c.cards));
    EXPECT_THAT(reading.watch, ElementsAreArray(c.watch));
    EXPECT_EQ(reading.als, c.als);
    EXPECT_EQ(reading.log, c.log);
    EXPECT_THAT(reading.messages, ElementsAreArray(c.messages));
}

std::string CaseName(const ::testing::TestParamInfo<FileCase>& info) {
    return info.param.name;
}

const std::string CARD_1 = "h1 1/1 sat-b/0 corax/0";
const std::string CARD_2 = "h2 2/2 sat-b/0 corax/0";

INSTANTIATE_TEST_SUITE_P(
    SectionKinds, FileTest,
    ::testing::Values(
        FileCase{"EmptyFile", "", {}, {}, -1, -1, {}},
        FileCase{"NoBracket", "address = h;\nperiod = 5;\n", {}, {}, -1, -1, {}},
        FileCase{"UpperCaseHeaderNamesMessages",
                 Card("CARD_5", "5", "SAT-B"),
                 {},
                 {},
                 -1,
                 -1,
                 {"card_5: Invalid mode!"}},
        FileCase{"NameIsCutAtBracketButNotTrimmed",
                 Card(" Card_1 ] [note", "1", "x"),
                 {},
                 {},
                 -1,
                 -1,
                 {" card_1 : Invalid mode!"}},
        FileCase{"HeaderWithoutBracketIsWholeName",
                 "[card_x\naddress = h;\nserialno = 0;\nmode = sat-b;\ndevice = corax;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_x: Invalid serial number!"}},
        FileCase{"CardWithoutUnderscoreIsNoSection",
                 "[card5]\naddress = h;\nserialno = 5;\n" + Card("card_1", "1"),
                 {CARD_1},
                 {},
                 -1,
                 -1,
                 {}},
        FileCase{
            "UnknownSectionTakesNoLines", "[general]\n[als]\nperiod = 5;\n", {}, {}, 5, -1, {}},
        FileCase{"WatchWinsOverLog",
                 "[watchlog]\nperiod = 5;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"Error in message ID specification!"}},
        FileCase{"AlsWinsOverLog", "[Dials_Log]\nperiod = 5;\n", {}, {}, 5, -1, {}},
        FileCase{"BracketInCountedLineBeginsNothing",
                 "[watch]\nmesid = 5; [als]\nperiod = 7;\n",
                 {},
                 {5},
                 -1,
                 -1,
                 {}},
        FileCase{"BracketInNoteOpensSection",
                 "[watch]\nmesid = 5;\nnote [als]\nperiod = 7;\n",
                 {},
                 {5},
                 7,
                 -1,
                 {}},
        FileCase{"KeysAreFixedToTheirLines",
                 "[card_1]\nserialno = 1;\naddress = h;\nmode = sat-b;\ndevice = corax;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in address specification!"}},
        FileCase{"BlankLineBecomesAddressLine",
                 "[card_1]\n" + Card("", "1").substr(2),
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in address specification!"}},
        FileCase{"ThreeKeyLinesTakeNextHeaderAsDevice",
                 "[card_1]\naddress = h;\nserialno = 1;\nmode = sat-b;\n[als]\nperiod = 60;\n" +
                     Card("card_2", "2"),
                 {CARD_2},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in device specification!"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    CardChecks, FileTest,
    ::testing::Values(
        FileCase{"KeysAreCaseBlindValuesKeepCase",
                 "[card_1]\nADDRESS = Host1; note\nSerialNo = 12 34\nMODE = sat-m;\n"
                 "Device =\ttarsa\t\n",
                 {"Host1 12/12 sat-m/1 tarsa/2"},
                 {},
                 -1,
                 -1,
                 {}},
        FileCase{"AddressWithoutTerminator",
                 "[card_1]\naddress = h\nserialno = 1;\nmode = sat-b;\ndevice = corax;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in address specification!"}},
        FileCase{"AddressCheckedBeforeSerial",
                 "[card_1]\n\nserialno = x;\nmode\ndevice\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in address specification!"}},
        FileCase{"SerialMissing",
                 Card("card_1", "") + Card("card_2", "2"),
                 {CARD_2},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in serial number specification!"}},
        FileCase{"SerialNotDigitsOrZero",
                 Card("card_1", "0") + Card("card_2", "000") + Card("card_3", "-12") +
                     Card("card_4", "+12") + Card("card_5", "12a"),
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Invalid serial number!", "card_2: Invalid serial number!",
                  "card_3: Invalid serial number!", "card_4: Invalid serial number!",
                  "card_5: Invalid serial number!"}},
        FileCase{"SerialCheckedBeforeMode",
                 Card("card_1", "x1", "bad"),
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Invalid serial number!"}},
        FileCase{"DuplicateSerialComparesValues",
                 Card("card_1", "815") + Card("card_2", "0815", "bad"),
                 {"h815 815/815 sat-b/0 corax/0"},
                 {},
                 -1,
                 -1,
                 {"card_2: Duplicate serial number 0815"}},
        FileCase{"SerialInt32Range",
                 Card("card_1", "2147483647") + Card("card_2", "2147483648") +
                     Card("card_3", "99999999999999999999999") +
                     Card("card_4", "0000000000000000000001"),
                 {"h2147483647 2147483647/2147483647 sat-b/0 corax/0",
                  "h0000000000000000000001 0000000000000000000001/1 sat-b/0 corax/0"},
                 {},
                 -1,
                 -1,
                 {"card_2: Invalid serial number!", "card_3: Invalid serial number!"}},
        FileCase{"ModeMissingThenInvalidThenDeviceChecks",
                 Card("card_1", "1", "") + Card("card_2", "2", "SAT-B") +
                     Card("card_3", "3", "sat-b", "") + Card("card_4", "4", "sat-b", "Tarsa") +
                     Card("card_5", "5", "sat-mini-m", "corax-e"),
                 {"h5 5/5 sat-mini-m/2 corax-e/1"},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in mode specification!", "card_2: Invalid mode!",
                  "card_3: Error in device specification!", "card_4: Invalid device!"}},
        FileCase{"ModeCheckedBeforeDevice",
                 Card("card_1", "1", "sat", "dev"),
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Invalid mode!"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    OnceOnly, FileTest,
    ::testing::Values(
        FileCase{"TenCardsNoMessage", Cards(1, 10), AcceptedCards(1, 10), {}, -1, -1, {}},
        FileCase{"ElevenAndTwelveCardsOneMessage",
                 Cards(1, 12) + Card("card_x", "x"),
                 AcceptedCards(1, 10),
                 {},
                 -1,
                 -1,
                 {"Maximum of 10 cards allowed. Ignoring cards specified in excess!"}},
        FileCase{"RejectedCardDoesNotCount",
                 Cards(1, 5) + Card("card_bad", "0") + Cards(6, 5),
                 AcceptedCards(1, 10),
                 {},
                 -1,
                 -1,
                 {"card_bad: Invalid serial number!"}},
        FileCase{"SeveralAlsOneMessage",
                 "[als]\nperiod = 60;\n[als]\nperiod = 5;\n[als]\nperiod = -1;\n",
                 {},
                 {},
                 60,
                 -1,
                 {"Ignoring multiple ALS period specifications!"}},
        FileCase{"SeveralLogsOneMessage",
                 "[log]\nperiod = 10;\n[log]\nperiod = x\n[log]\nperiod = 1;\n",
                 {},
                 {},
                 -1,
                 10,
                 {"Ignoring multiple log sampling interval specifications!"}},
        FileCase{"RejectedPeriodLetsNextSectionRead",
                 "[als]\nperiod = -5;\n[als]\nperiod = 30;\n[log]\nperiod = -5;\n[log]\nperiod;"
                 "\n[log]\nperiod = 20;\n[log]\nperiod = 21;\n",
                 {},
                 {},
                 30,
                 20,
                 {"Invalid ALS period: -5!", "Invalid log sampling interval: -5!",
                  "Error in log sampling interval specification!",
                  "Ignoring multiple log sampling interval specifications!"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Values, FileTest,
    ::testing::Values(
        FileCase{
            "ZeroPeriodsAccepted", "[als]\nperiod = 0;\n[log]\nperiod = -0;\n", {}, {}, 0, 0, {}},
        FileCase{
            "PeriodsReadLikeAtoi", "[als]\nperiod = 10s;\n[log]\nperiod = x;\n", {}, {}, 10, 0, {}},
        FileCase{"PlusSignAndLeadingZeros",
                 "[als]\nperiod = +007;\n[log]\nperiod = \v8;\n",
                 {},
                 {},
                 7,
                 8,
                 {}},
        FileCase{"MissingAlsPeriod",
                 "[als]\nperiod = 60\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"Error in ALS period specification!"}},
        FileCase{"PeriodsBeyondInt32",
                 "[als]\nperiod = 2147483648;\n[log]\nperiod = -99999999999999999999;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"Invalid ALS period: 2147483648!",
                  "Invalid log sampling interval: -99999999999999999999!"}},
        FileCase{"LargestPeriods",
                 "[als]\nperiod = 2147483647;\n[log]\nperiod = 2147483647;\n",
                 {},
                 {},
                 2147483647,
                 2147483647,
                 {}},
        FileCase{"WatchListKeepsFirstAppearance",
                 "[watch]\nmesid = 7;\n[watch]\nmesid = 3;\n[watch]\nMESID = 007;\n"
                 "[watch]\nmesid = x;\n",
                 {},
                 {7, 3, 0},
                 -1,
                 -1,
                 {}},
        FileCase{"WatchRejects",
                 "[watch]\nmesid = -1;\n[watch]\nmesid\n[watch]\nmesid = 4294967296;\n"
                 "[watch]\nmesid = 2147483647;\n",
                 {},
                 {2147483647},
                 -1,
                 -1,
                 {"Invalid message ID: -1!", "Error in message ID specification!",
                  "Invalid message ID: 4294967296!"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    EndOfFile, FileTest,
    ::testing::Values(
        FileCase{"LastLineWithoutLineFeedIsReadWhole", "[als]\nperiod = 60;", {}, {}, 60, -1, {}},
        FileCase{"LastCardLineWithoutLineFeed",
                 "[card_1]\naddress = h1;\nserialno = 1;\nmode = sat-b;\ndevice = corax;",
                 {CARD_1},
                 {},
                 -1,
                 -1,
                 {}},
        FileCase{"CardHeaderAtEndDroppedSilently",
                 Card("card_1", "1") + "[card_2]\n",
                 {CARD_1},
                 {},
                 -1,
                 -1,
                 {}},
        FileCase{
            "CardCutAfterOneLineDroppedSilently", "[card_1]\naddress = h;\n", {}, {}, -1, -1, {}},
        FileCase{"ThreeCardLinesGiveDeviceError",
                 "[card_1]\naddress = h;\nserialno = 1;\nmode = sat-b;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_1: Error in device specification!"}},
        FileCase{"WatchHeaderAtEnd",
                 "[watch]\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"Error in message ID specification!"}},
        FileCase{"AlsHeaderAtEnd",
                 "[log]\nperiod = 1;\n[als]\n",
                 {},
                 {},
                 -1,
                 1,
                 {"Error in ALS period specification!"}},
        FileCase{"LogHeaderAtEnd",
                 "[log]\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"Error in log sampling interval specification!"}},
        FileCase{"HeaderWithoutLineFeedDroppedSilently",
                 "[watch]\nmesid = 1;\n[als]",
                 {},
                 {1},
                 -1,
                 -1,
                 {}},
        FileCase{"BracketAsLastCharacter", "[als]\nperiod = 3;\n[", {}, {}, 3, -1, {}},
        FileCase{"NotesAfterLastSection", "[als]\nperiod = 3;\nthe end\n\n", {}, {}, 3, -1, {}}),
    CaseName);

const std::string LONG_TEXT(150, 'n');

INSTANTIATE_TEST_SUITE_P(
    Lines, FileTest,
    ::testing::Values(
        FileCase{"CrLfHeaderWithoutBracket",
                 "[card_x\r\naddress = h;\r\nserialno = 1;\r\nmode = X;\r\ndevice = corax;\r\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_x: Invalid mode!"}},
        FileCase{"LoneCarriageReturnIsKept",
                 "[card_x\r \naddress = h\r\nserialno = 1;\nmode = sat-b;\ndevice = corax;\n",
                 {},
                 {},
                 -1,
                 -1,
                 {"card_x\r : Error in address specification!"}},
        FileCase{"LongHeaderIsCutAndRestSkipped",
                 "[card_" + LONG_TEXT + "\n" + Card("x", "1", "bad").substr(4),
                 {},
                 {},
                 -1,
                 -1,
                 {"card_" + LONG_TEXT.substr(0, 114) + ": Invalid mode!"}},
        FileCase{"LongCountedLineIsCutAndRestSkipped",
                 "[card_1]\naddress = h1; " + LONG_TEXT +
                     "\nserialno = 1;\nmode = sat-b;\ndevice = corax;\n"
                     "[als]\nperiod = 1; " +
                     LONG_TEXT + "[watch]\n" + "\n[log]\nperiod = 2;\n",
                 {CARD_1},
                 {},
                 1,
                 2,
                 {}},
        FileCase{"TerminatorBeyondLimitIsLost",
                 "[als]\nperiod =" + std::string(110, ' ') +
                     "9;\n[log]\nperiod =" + std::string(109, ' ') + "9;\n",
                 {},
                 {},
                 -1,
                 9,
                 {"Error in ALS period specification!"}},
        FileCase{"LineOfExactlyTheLimitWithCrLfIsWhole",
                 "[als]\r\nperiod =" + std::string(109, ' ') + "9;\r\n[log]\r\nperiod = 4;\r\n",
                 {},
                 {},
                 9,
                 4,
                 {}},
        FileCase{"NulEndsLineText",
                 "[als]\nperiod = 5\0;\n[log]\nperiod = 6;\n"s,
                 {},
                 {},
                 -1,
                 6,
                 {"Error in ALS period specification!"}}),
    CaseName);

}  // namespace
