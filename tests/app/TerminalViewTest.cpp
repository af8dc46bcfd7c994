// The status table fitted to a terminal (every line within its width, one line per card, the widest
// columns shortened first, control characters as '?'), and the durations and row tooltip.
#include "app/console/TerminalView.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/view/StatusNotes.h"
#include "app/view/StatusTable.h"
#include "resources/OrvaneTypes.h"

namespace {

StatusFrame TenCards() {
    StatusFrame frame;
    frame.headline = "2026-12-08 14:03:07  up 3 min 12 s  samples 40";
    for (int32_t number = 1; number <= MAX_CARDS; ++number) {
        CardState row;
        row.number = number;
        row.address = number == 3 ? "decoder-host-in-rack-b.example.org" : "127.0.0.1";
        row.serialNumber = 1000 + number;
        row.status = number % 5;
        row.mode = number % SAT_MODE_COUNT;
        row.device = number % DEVICE_MODEL_COUNT;
        row.mesId = row.status == STATUS_BUSY_SESSION ? 423456789 : 0;
        row.service = row.status == STATUS_BUSY_SESSION ? SERVICE_TELEPHONE : SERVICE_NONE;
        frame.rows.push_back(row);
    }
    frame.watchList = {111, 222, 333};
    frame.alsPeriod = 60;
    frame.logInterval = 10;
    return frame;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

class FitStatusFrameTest : public testing::TestWithParam<std::pair<size_t, size_t>> {};

TEST_P(FitStatusFrameTest, EveryLineFitsAndEveryCardKeepsOneLine) {
    const auto [columns, lines] = GetParam();
    const StatusFrame frame = TenCards();
    const std::vector<std::string> fitted = FitStatusFrame(frame, columns, lines);

    ASSERT_FALSE(fitted.empty());
    EXPECT_LE(fitted.size(), lines);
    for (const std::string& line : fitted) {
        EXPECT_LE(line.size(), columns) << line;
    }
    EXPECT_TRUE(fitted[0].starts_with(frame.headline.substr(0, std::min(columns - 1, size_t{19}))));
    // Card rows follow the heading in order, one line each, as far as there is room.
    for (size_t card = 1; card <= frame.rows.size() && card + 1 < fitted.size(); ++card) {
        EXPECT_TRUE(fitted[card + 1].starts_with(std::to_string(card)))
            << card << ": " << fitted[card + 1];
    }
    // Lines left out are announced, the footer before any card.
    const size_t wanted = 1 + 1 + frame.rows.size() + 3;
    EXPECT_EQ(fitted[0].find("more lines") != std::string::npos ||
                  fitted[0].size() == columns,  // the note may be cut at the edge itself
              wanted > lines);
    if (lines >= 2 + frame.rows.size()) {
        EXPECT_TRUE(fitted[1 + frame.rows.size()].starts_with("10")) << "card 10 is shown";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FitStatusFrameTest,
                         testing::Values(std::make_pair(200, 40), std::make_pair(120, 40),
                                         std::make_pair(97, 24), std::make_pair(60, 12),
                                         std::make_pair(40, 12), std::make_pair(12, 5),
                                         std::make_pair(80, 1)));

TEST(FitStatusFrameTest, AWideTerminalShowsTheTableAsItIsPrinted) {
    const StatusFrame frame = TenCards();
    const std::vector<std::string> fitted = FitStatusFrame(frame, 200, 40);
    const std::vector<std::string> printed =
        Lines(RenderStatusTable(frame.rows, frame.watchList, frame.alsPeriod, frame.logInterval));
    // The printed table pads every column but the last, as the fitted one does;
    // trailing blanks aside, the lines are the same.
    ASSERT_EQ(fitted.size(), 1 + printed.size() - 1);  // no trailing blank line on a screen
    EXPECT_EQ(fitted[0], frame.headline);
    for (size_t i = 0; i + 1 < printed.size(); ++i) {
        EXPECT_EQ(fitted[i + 1], printed[i]);
    }
}

TEST(FitStatusFrameTest, ANarrowTerminalShortensTheWidestColumnsFirst) {
    const StatusFrame frame = TenCards();
    const std::vector<std::string> fitted = FitStatusFrame(frame, 80, 24);
    // The long host name and the long heading give way; statuses stay whole.
    EXPECT_NE(fitted[4].find("decoder-host-in-~ "), std::string::npos) << fitted[4];
    EXPECT_NE(fitted[1].find("Computer Name or~ "), std::string::npos) << fitted[1];
    EXPECT_NE(fitted[2].find("Host Connected"), std::string::npos) << fitted[2];
    EXPECT_NE(fitted[5].find("Busy Session"), std::string::npos) << fitted[5];
}

TEST(FitStatusFrameTest, ControlCharactersFromTheConfigurationShowAsQuestionMarks) {
    StatusFrame frame = TenCards();
    frame.rows.resize(1);
    frame.rows[0].address = "host\x1b[2J\x07";
    const std::vector<std::string> fitted = FitStatusFrame(frame, 120, 40);
    EXPECT_NE(fitted[2].find("host?[2J?"), std::string::npos) << fitted[2];
}

TEST(StatusNotesTest, FormatsDurationsToTheirTwoLargestUnits) {
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {-5, "0 s"},          {0, "0 s"},           {59, "59 s"},
        {60, "1 min 0 s"},    {192, "3 min 12 s"},  {3599, "59 min 59 s"},
        {3600, "1 h 00 min"}, {7500, "2 h 05 min"}, {86400 * 3 + 4 * 3600 + 59, "3 d 04 h"}};
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(FormatDuration(seconds), text) << seconds;
    }
}

TEST(StatusNotesTest, TheRowTooltipGivesTheTimeInStateAndTheReasonOfANotConnectedCard) {
    setenv("TZ", "UTC0", 1);
    tzset();
    CardState row;
    row.status = STATUS_NOT_CONNECTED;
    row.statusSince = 1765202587;  // 2025-12-08 14:03:07 UTC
    EXPECT_EQ(StatusTooltipText(row, row.statusSince + 192, std::nullopt),
              "Not Connected for 3 min 12 s, since 2025-12-08 14:03:07");
    EXPECT_EQ(StatusTooltipText(row, row.statusSince + 5, std::string("connection refused")),
              "Not Connected for 5 s, since 2025-12-08 14:03:07\n"
              "Last link loss: connection refused");
    // A reason belongs to a card that is down only.
    row.status = STATUS_MODE_RUNNING;
    EXPECT_EQ(StatusTooltipText(row, row.statusSince + 7200, std::string("reset")),
              "Mode Running for 2 h 00 min, since 2025-12-08 14:03:07");
    unsetenv("TZ");
    tzset();
}

}  // namespace
