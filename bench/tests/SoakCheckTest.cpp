// The soak's readers: the console table as the station prints it, the
// status history, and the statistics file. A misread here would pass a
// broken station or fail a sound one.
#include "bench/SoakCheck.h"

#include <gtest/gtest.h>

#include <sstream>

#include "bench/ConsoleTable.h"

namespace {

// What the console station prints for three cards (RenderStatusTable's layout).
const char* const TABLE =
    "Number  SAT Mode    Computer Name or IP Address  Device   Serial #  Op Status       MESId     "
    "Service\n"
    "1       sat-b       127.16.1.1                   corax    1001      Busy Session    10000861  "
    "ISDN\n"
    "2       sat-c-tdm   127.16.1.1                   corax    1002      Not Connected   0         "
    " \n"
    "10      sat-mini-m  127.200.3.4                  tarsa    3003      Host Connected  0         "
    "Telex MM\n"
    "\n"
    "ALS duration [s]     0\n"
    "Log interval [s]     4\n"
    "MESIds in Watchlist  \n"
    "\n";

std::vector<ConsoleRow> ReadTables(const std::string& text, uint64_t& tables) {
    CConsoleTableReader reader;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        reader.Feed(line);
    }
    tables = reader.Tables();
    return reader.Rows();
}

TEST(ConsoleTableReader, ReadsEveryRowByTheHeadingsColumns) {
    uint64_t tables = 0;
    const std::vector<ConsoleRow> rows = ReadTables(TABLE, tables);
    EXPECT_EQ(tables, 1u);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].number, 1);
    EXPECT_EQ(rows[0].address, "127.16.1.1");
    EXPECT_EQ(rows[0].status, 4);
    EXPECT_EQ(rows[0].mesId, 10000861);
    EXPECT_EQ(rows[1].status, 0);
    EXPECT_EQ(rows[2].number, 10);
    EXPECT_EQ(rows[2].address, "127.200.3.4");
    EXPECT_EQ(rows[2].status, 1);
}

TEST(ConsoleTableReader, KeepsTheLastCompleteTableOnly) {
    uint64_t tables = 0;
    std::string text = TABLE;
    std::string second = TABLE;
    second.replace(second.find("Busy Session    10000861"), 24, "Mode Running    0       ");
    // The second table is cut before its blank line: it does not count yet.
    text += second.substr(0, second.find("\n\nALS"));
    std::vector<ConsoleRow> rows = ReadTables(text, tables);
    EXPECT_EQ(tables, 1u);
    EXPECT_EQ(rows.at(0).status, 4);
    rows = ReadTables(text + "\n\n", tables);
    EXPECT_EQ(tables, 2u);
    EXPECT_EQ(rows.at(0).status, 3);
    EXPECT_EQ(rows.at(0).mesId, 0);
}

TEST(ConsoleTableReader, StatusTextsAndUnknownOnes) {
    const std::pair<const char*, int32_t> cases[] = {
        {"Not Connected", 0}, {"Host Connected", 1}, {"Card Ready", 2}, {"Mode Running", 3},
        {"Busy Session", 4},  {"Busy", -1},          {"", -1}};
    for (const auto& [text, status] : cases) {
        EXPECT_EQ(StatusOfText(text), status) << text;
    }
}

// Card 1: up, dropped at 1000, back at 21500. Card 2: down from the start,
// up at 5000. Card 3: never changes after the first table.
CStatusHistory History() {
    std::istringstream lines(
        "100 1 3 0\n100 2 0 0\n100 3 4 77\n"
        "600 1 4 123\n1005 1 0 0\n3000 1 1 0\n"
        "5000 2 1 0\n5200 2 3 0\n21500 1 3 0\n");
    CStatusHistory history;
    history.Load(lines);
    return history;
}

TEST(StatusHistory, StatusAtAMoment) {
    const CStatusHistory history = History();
    EXPECT_EQ(history.At(1, 99), -1);
    EXPECT_EQ(history.At(1, 100), 3);
    EXPECT_EQ(history.At(1, 1004), 4);
    EXPECT_EQ(history.At(1, 1005), 0);
    EXPECT_EQ(history.At(1, 99999), 3);
    EXPECT_EQ(history.At(9, 500), -1);
}

TEST(StatusHistory, HeldThroughoutAWindow) {
    CStatusHistory history = History();
    int32_t status = -1;
    EXPECT_TRUE(history.HeldThroughout(1, 700, 1004, status));  // Busy from 600 to 1005
    EXPECT_EQ(status, 4);
    EXPECT_FALSE(history.HeldThroughout(1, 700, 1005, status));  // the fall is inside
    EXPECT_FALSE(history.HeldThroughout(1, 50, 90, status));     // before the first table
    EXPECT_TRUE(history.HeldThroughout(3, 100, 99999, status));
    EXPECT_EQ(status, 4);
    // One session replaced by the next with no table in between: the two
    // Busy states are two states, and the window proves nothing.
    std::istringstream lines("100 5 4 111\n2000 5 4 222\n");
    history.Load(lines);
    EXPECT_FALSE(history.HeldThroughout(5, 1000, 3000, status));
    EXPECT_TRUE(history.HeldThroughout(5, 2000, 3000, status));
}

TEST(StatusHistory, BackSinceAReturn) {
    const CStatusHistory history = History();
    // Dropped at 1000: the fall shows at 1005, the card is back at 21500.
    EXPECT_EQ(history.BackSince(1, 1000, 31000), 21500);
    // Not back yet at the deadline.
    EXPECT_EQ(history.BackSince(1, 1000, 21000), -1);
    // Host Connected is not back: card 2 counts from Mode Running.
    EXPECT_EQ(history.BackSince(2, 4000, 30000), 5200);
    // Up all along: back at the moment itself.
    EXPECT_EQ(history.BackSince(3, 4000, 30000), 4000);
}

TEST(Statistics, ReadsTheFileAsTheStationWritesIt) {
    std::istringstream file(
        "Start time: 2026 Dec 08, 17:55:31\r\n"
        "Stop  time: 2026 Dec 08, 17:55:38\r\n"
        "Total uptime: 0, 00:00:07\r\n"
        "\r\n"
        "#  Code Total sessiontime:  \r\n"
        " 1   B  0, 00:00:00 1001 127.0.0.1\r\n"
        " 2   C 0, 00:00:01 1002 127.0.0.1\r\n"
        "10   mM 1, 02:03:04 3003 host\r\n"
        "\r\n"
        "\r\n"
        "date/time             channels   B M m\r\n"
        "2026 Dec 08, 17:55:33 001        0 0 1 0\r\n"
        "2026 Dec 08, 17:55:37 110        1 0 0 1\r\n"
        "total counts: 2");
    const StatFile stat = ReadStatistics(file);
    EXPECT_TRUE(stat.errors.empty()) << stat.errors.front();
    EXPECT_EQ(stat.stop - stat.start, 7);
    ASSERT_EQ(stat.cards.size(), 3u);
    EXPECT_EQ(stat.cards[0].mode, 0);
    EXPECT_EQ(stat.cards[1].mode, 3);
    EXPECT_EQ(stat.cards[2].number, 10);
    EXPECT_EQ(stat.cards[2].mode, 2);
    ASSERT_EQ(stat.samples.size(), 2u);
    EXPECT_EQ(stat.samples[1].wallSeconds - stat.samples[0].wallSeconds, 4);
    EXPECT_EQ(stat.samples[1].channels, "110       ");
    EXPECT_EQ(stat.samples[1].counts[3], 1);
    EXPECT_EQ(stat.totalCounts, 2);
}

TEST(Statistics, ReportsWhatDoesNotMatchTheLayout) {
    const std::pair<const char*, const char*> cases[] = {
        {"Start time: 2026 Dec 08, 17:55:31\n"
         "Stop  time: 2026 Dec 08, 17:55:38\r\nTotal uptime: 0, 00:00:07\r\n\r\n"
         "#  Code Total sessiontime:  \r\n\r\n\r\n"
         "date/time             channels   B M m\r\ntotal counts: 0",
         "a line without CR LF"},
        {"Start time: 2026 Dec 08, 17:55:31\r\n"
         "Stop  time: 2026 Dec 08, 17:55:38\r\nTotal uptime: 0, 00:00:07\r\n\r\n"
         "#  Code Total sessiontime:  \r\n\r\n\r\n"
         "date/time             channels   B M m\r\n",
         "no total count line"},
        {"Start time: 2026 Dec 08, 17:55:31\r\n"
         "Stop  time: 2026 Dec 08, 17:55:38\r\nTotal uptime: 0, 00:00:07\r\n\r\n"
         "#  Code Total sessiontime:  \r\n\r\n\r\n"
         "date/time             channels   B M m\r\n"
         "2026 Xyz 08, 17:55:33 0         0 0 0 0\r\ntotal counts: 1",
         "unreadable sample line"},
        {"Start time: 2026 Dec 08, 17:55:31\r\n"
         "Stop  time: 2026 Dec 08, 17:55:38\r\nTotal uptime: 0, 00:00:07\r\n\r\n"
         "#  Code Total sessiontime:  \r\n 1   X  0, 00:00:00 1 h\r\n\r\n\r\n"
         "date/time             channels   B M m\r\ntotal counts: 0",
         "card line with no mode label"},
    };
    for (const auto& [text, error] : cases) {
        std::istringstream file(text);
        const StatFile stat = ReadStatistics(file);
        ASSERT_FALSE(stat.errors.empty()) << error;
        EXPECT_EQ(stat.errors.front().rfind(error, 0), 0u) << stat.errors.front();
    }
}

}  // namespace
