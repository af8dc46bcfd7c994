// The station without its window: configuration file, core, dispatch thread
// and card link, with the card library's test double standing in for the
// hosts, up to the statistics file at the end of the run. Timers run in
// virtual time; only the queue's polls take real time.
#include "core/Dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "core/CoreTestSupport.h"
#include "core/DispatchHarness.h"
#include "support/FakeClock.h"

using namespace apptest;
using namespace coretest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// 2023 Nov 15, 03:13:20 in the tests' time zone (UTC+5).
constexpr int64_t START_WALL = 1700000000;

class EndToEndTest : public CCoreFixture {
protected:
    static std::vector<CardState> Rows(const COrvane& core) {
        std::vector<CardState> rows;
        core.GetCardRows(rows);
        return rows;
    }
    static std::vector<int32_t> Statuses(const COrvane& core) {
        std::vector<int32_t> statuses;
        for (const CardState& row : Rows(core)) {
            statuses.push_back(row.status);
        }
        return statuses;
    }
    // Position of `line` in the library's journal; the journal's size when absent.
    static size_t JournalIndex(const std::string& line) {
        const std::vector<std::string> journal = CFakeVexlink::Get().Journal();
        return static_cast<size_t>(std::find(journal.begin(), journal.end(), line) -
                                   journal.begin());
    }

    CFakeClock m_clock{START_WALL};
};

TEST_F(EndToEndTest, WholeLifeOfACardFromConfigurationToStatisticsFile) {
    WriteConfig(CardSection("hostA", 4711, "sat-b", "corax") +
                "[als]\nperiod = 30;\n[log]\nperiod = 60;\n");
    auto core = std::make_unique<COrvane>(ReadStationConfig(0, 0), &m_clock);
    CFakeVexlink& fake = CFakeVexlink::Get();
    CDispatchRunner runner(*core, &m_clock);
    runner.Start();

    // The first Tick connects; the link comes up.
    runner.Settle();
    EXPECT_THAT(fake.Journal(), ElementsAre("create 1", "connect 1 hostA 33254", "up 1"));
    EXPECT_EQ(Rows(*core)[0].status, STATUS_HOST_CONNECTED);

    // The host lists its cards: Connect command, then the mode setup.
    fake.FireMessage(1, CardsInformation({4712, 4711}));
    runner.Settle();
    std::vector<std::string> sent = Concat({{ConnectCommand(4711)}, ModeSetup("sat-b")});
    EXPECT_THAT(fake.SentBy(1), ElementsAreArray(sent));
    EXPECT_EQ(Rows(*core)[0].status, STATUS_MODE_RUNNING);

    // Parameter reports drive the ALS walk: off, analog, then digital and
    // finish on the next two common steps.
    fake.FireMessage(1, ParameterList({{"code", "sat-b"}, {"als", "off"}}));
    runner.Settle();
    sent.push_back(AlsCommand("analog"));
    EXPECT_THAT(fake.SentBy(1), ElementsAreArray(sent));
    fake.FireMessage(1, ParameterList({{"als", "analog"}}));
    runner.Settle();
    EXPECT_EQ(Rows(*core)[0].alsPhase, 1);
    EXPECT_TRUE(Rows(*core)[0].codeActive);

    m_clock.Advance(31);  // t = 31: first sample, ALS step
    runner.Sync();
    sent.push_back(AlsCommand("digital"));
    EXPECT_THAT(fake.SentBy(1), ElementsAreArray(sent));
    m_clock.Advance(31);  // t = 62
    runner.Sync();
    sent.push_back(AlsCommand("finish"));
    EXPECT_THAT(fake.SentBy(1), ElementsAreArray(sent));
    m_clock.Advance(31);  // t = 93: second sample; the walk is over
    runner.Sync();
    EXPECT_THAT(fake.SentBy(1), ElementsAreArray(sent));
    EXPECT_EQ(Rows(*core)[0].alsPhase, 3);

    // A session from start to end.
    fake.FireMessage(1, TrafficText(Start(" B", 12345678, "DATA")));
    runner.Settle();
    CardState row = Rows(*core)[0];
    EXPECT_EQ(row.status, STATUS_BUSY_SESSION);
    EXPECT_EQ(row.mesId, 12345678);
    EXPECT_EQ(row.service, SERVICE_DATA);
    m_clock.Advance(60);  // t = 153: third sample, while busy
    runner.Sync();
    fake.FireMessage(1, TrafficText(End(" B")));
    runner.Settle();
    row = Rows(*core)[0];
    EXPECT_EQ(row.status, STATUS_MODE_RUNNING);
    EXPECT_EQ(row.mesId, 0);
    EXPECT_EQ(row.busySeconds, 60);

    // The link goes down; the next reconnect pass brings it back.
    fake.FireLinkDown(1);
    runner.Settle();
    EXPECT_EQ(Rows(*core)[0].status, STATUS_NOT_CONNECTED);
    fake.ClearJournal();
    m_clock.Advance(20);  // t = 173: not yet
    runner.Settle();
    EXPECT_THAT(Connects(), IsEmpty());
    m_clock.Advance(1);  // t = 174
    runner.Settle();
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33254"));
    EXPECT_EQ(Rows(*core)[0].status, STATUS_HOST_CONNECTED);
    EXPECT_EQ(Rows(*core)[0].alsPhase, 3);  // the walk is once per run

    runner.Stop();
    core.reset();
    EXPECT_THAT(fake.JournalOf(1), ::testing::IsSupersetOf({"disconnect", "down", "release"}));
    EXPECT_THAT(ListFolder(m_dataDir), ElementsAre("Stat2023_Nov_15_031614.txt"));
    EXPECT_EQ(ReadFile(m_dataDir + "/Stat2023_Nov_15_031614.txt"),
              "Start time: 2023 Nov 15, 03:13:20\r\n"
              "Stop  time: 2023 Nov 15, 03:16:14\r\n"
              "Total uptime: 0, 00:02:54\r\n"
              "\r\n"
              "#  Code Total sessiontime:  \r\n"
              " 1   B  0, 00:01:00 4711 hostA\r\n"
              "\r\n"
              "\r\n"
              "date/time             channels   B M m\r\n"
              "2023 Nov 15, 03:13:51 0          0 0 0 0\r\n"
              "2023 Nov 15, 03:14:53 0          0 0 0 0\r\n"
              "2023 Nov 15, 03:15:53 1          1 0 0 0\r\n"
              "total counts: 3");
    EXPECT_THAT(Messages(), IsEmpty());
}

TEST_F(EndToEndTest, CardsOfOneHostAreConnectedOneAfterTheOther) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax") +
                CardSection("hostA", 12, "sat-m", "corax") +
                CardSection("hostA", 13, "sat-c-tdm", "corax-e") +
                CardSection("hostB", 14, "sat-mini-m", "tarsa"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CFakeVexlink& fake = CFakeVexlink::Get();
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();

    // The reconnect pass connects the first card of each host (an address and
    // the port of a device model); card 2 follows when card 1's link is up.
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33254", "connect 3 hostA 33274",
                                        "connect 4 hostB 33284", "connect 2 hostA 33254"));
    EXPECT_LT(JournalIndex("up 1"), JournalIndex("connect 2 hostA 33254"));
    EXPECT_THAT(Statuses(core), ElementsAre(1, 1, 1, 1));

    // Card 2 alone loses its link while card 1's stays up: the next reconnect
    // pass connects it again, not only when card 1's link comes back.
    fake.FireLinkDown(2);
    runner.Settle();
    fake.ClearJournal();
    m_clock.Advance(20);
    runner.Settle();
    EXPECT_THAT(Connects(), IsEmpty()) << "not before the pace has passed";
    EXPECT_THAT(Statuses(core), ElementsAre(1, 0, 1, 1));
    m_clock.Advance(1);
    runner.Settle();
    EXPECT_THAT(Connects(), ElementsAre("connect 2 hostA 33254"));
    EXPECT_THAT(Statuses(core), ElementsAre(1, 1, 1, 1));

    // With card 1 down too, the pass connects card 1 alone, which brings the
    // host's other cards along once its link is up.
    fake.SetAutoLinkUp(false);
    fake.FireLinkDown(1);
    fake.FireLinkDown(2);
    runner.Settle();
    fake.ClearJournal();
    m_clock.Advance(21);
    runner.Settle();
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33254"));
    EXPECT_THAT(Statuses(core), ElementsAre(0, 0, 1, 1));
    fake.SetAutoLinkUp(true);
    fake.FireLinkUp(1);
    runner.Settle();
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33254", "connect 2 hostA 33254"));
    EXPECT_THAT(Statuses(core), ElementsAre(1, 1, 1, 1));
}

TEST_F(EndToEndTest, WatchListDecidesWhichSessionsAreFollowed) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax") +
                CardSection("hostB", 12, "sat-c-tdm", "corax") +
                CardSection("hostC", 13, "sat-m", "corax") +
                "[watch]\nmesid = 1234;\n[watch]\nmesid = 5678;\n");
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CFakeVexlink& fake = CFakeVexlink::Get();
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    for (int card = 1; card <= 3; ++card) {
        fake.FireMessage(card, CardsInformation({10 + card}));
    }
    runner.Settle();
    ASSERT_THAT(Statuses(core), ElementsAre(3, 3, 3));
    fake.ClearJournal();

    struct Step {
        int card;
        std::string records;
    };
    const Step steps[] = {
        {1, Start(" B", 999)},   // not listed: resync
        {2, Start(" C", 999)},   // not listed, sat-c-tdm: its mode setup again
        {1, Start(" B", 1234)},  // followed
        {3, Start(" M", 1234)},  // card 1 follows it already: resync
        {2, Start(" C", 5678)},  // followed
        {2, Start(" C", 1234)},  // busy sat-c-tdm card, MES ID taken: resync
        {1, End(" B")},          // 1234 is free again
        {3, Start(" M", 1234)},  // followed now
    };
    for (const Step& step : steps) {
        fake.FireMessage(step.card, TrafficText(step.records));
    }
    runner.Settle();

    EXPECT_THAT(fake.SentBy(1), ElementsAre(ResyncCommand()));
    EXPECT_THAT(fake.SentBy(2),
                ElementsAreArray(Concat({ModeSetup("sat-c-tdm"), {ResyncCommand()}})));
    EXPECT_THAT(fake.SentBy(3), ElementsAre(ResyncCommand()));
    const std::vector<CardState> rows = Rows(core);
    EXPECT_EQ(rows[0].status, STATUS_MODE_RUNNING);
    EXPECT_EQ(rows[1].status, STATUS_BUSY_SESSION);
    EXPECT_EQ(rows[1].mesId, 5678);
    EXPECT_EQ(rows[2].status, STATUS_BUSY_SESSION);
    EXPECT_EQ(rows[2].mesId, 1234);
    EXPECT_EQ(rows[2].service, SERVICE_TELEPHONE);
}

TEST_F(EndToEndTest, EmptyWatchListFollowsAnyMesIdOnOneCardOnly) {
    WriteConfig(CardSection("hostA", 11, "sat-mini-m", "corax") +
                CardSection("hostA", 12, "sat-c-tdm", "corax"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CFakeVexlink& fake = CFakeVexlink::Get();
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    fake.ClearJournal();

    // Card 2 is not in a session, so its mode setup is sent again for each refusal.
    fake.FireMessage(1, TrafficText(Start("mM", 42)));
    fake.FireMessage(2, TrafficText(Start(" C", 42)));  // card 1 follows 42
    fake.FireMessage(2, TrafficText(Start(" C", 0)));   // card 2 itself holds MES ID 0
    fake.FireMessage(2, TrafficText(Start(" C", 43, "FAX ")));
    runner.Settle();

    EXPECT_THAT(fake.SentBy(1), IsEmpty());
    EXPECT_THAT(fake.SentBy(2),
                ElementsAreArray(Concat({ModeSetup("sat-c-tdm"), ModeSetup("sat-c-tdm")})));
    const std::vector<CardState> rows = Rows(core);
    EXPECT_EQ(rows[0].mesId, 42);
    EXPECT_EQ(rows[1].status, STATUS_BUSY_SESSION);
    EXPECT_EQ(rows[1].mesId, 43);
    EXPECT_EQ(rows[1].service, SERVICE_FAX);
}

}  // namespace
