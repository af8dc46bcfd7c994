// The monitoring core: built from the configuration, its connects and reconnect passes, samples and
// timers in virtual time, the ALS step, PostQuit, its destructor, consistent rows and the
// card-command log.
#include "core/Monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "cardlink/EventRecord.h"
#include "core/CoreTestSupport.h"
#include "support/CoreAccess.h"
#include "support/FakeClock.h"

using namespace coretest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr int64_t START_WALL = 1700000000;

const char* const EXAMPLE_CONFIG =
    R"(Station configuration. Text before the first section is skipped.

[card_1]
address = host1;
serialno = 1234;
mode = sat-c-tdm;
device = corax-e;

[Card_2]
Address = 192.0.2.10;   rack B
SerialNo = 00815;
Mode = sat-b;
Device = tarsa;

[watch]
mesid = 423456789;

[watch]
mesid = 423456790;

[als]
period = 60;

[log]
period = 10;
)";

class MonitorTest : public CCoreFixture {
protected:
    std::unique_ptr<COrvane> MakeCore(int32_t logInterval = 0, int32_t alsPeriod = 0) {
        return std::make_unique<COrvane>(ReadStationConfig(logInterval, alsPeriod), &m_clock);
    }
    static std::vector<CardState> Rows(const COrvane& core) {
        std::vector<CardState> rows;
        core.GetCardRows(rows);
        return rows;
    }

    CFakeClock m_clock{START_WALL};
};

TEST_F(MonitorTest, BuildsCardsWatchListAndPeriodsFromTheConfigurationFile) {
    WriteConfig(EXAMPLE_CONFIG);
    auto core = MakeCore(7, 9);

    EXPECT_THAT(Messages(), IsEmpty());
    ASSERT_EQ(core->GetCardCount(), 2);
    const std::vector<CardState> rows = Rows(*core);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].number, 1);
    EXPECT_EQ(rows[0].address, "host1");
    EXPECT_EQ(rows[0].serialNumber, 1234);
    EXPECT_EQ(rows[0].mode, MODE_SAT_C_TDM);
    EXPECT_EQ(rows[0].device, DEVICE_CORAX_E);
    EXPECT_EQ(rows[1].number, 2);
    EXPECT_EQ(rows[1].address, "192.0.2.10");
    EXPECT_EQ(rows[1].serialNumber, 815);
    EXPECT_EQ(rows[1].mode, MODE_SAT_B);
    EXPECT_EQ(rows[1].device, DEVICE_TARSA);
    for (const CardState& row : rows) {
        EXPECT_EQ(row.status, STATUS_NOT_CONNECTED);
        EXPECT_EQ(row.mesId, 0);
        EXPECT_EQ(row.alsPhase, 0);
        EXPECT_FALSE(row.codeActive);
        EXPECT_EQ(row.busySeconds, 0);
    }
    EXPECT_THAT(core->GetWatchList(), ElementsAre(423456789, 423456790));
    EXPECT_EQ(core->GetLogInterval(), 10);
    EXPECT_EQ(core->GetAlsPeriod(), 60);
    EXPECT_EQ(core->GetDataDir(), m_dataDir);
    // Cards exist, but nothing is connected before the first Tick.
    EXPECT_THAT(Connects(), IsEmpty());
    EXPECT_EQ(CFakeVexlink::Get().InstanceCount(), 2);
}

TEST_F(MonitorTest, ConfigurationPeriodsOverrideTheCommandLineOnlyWhenGiven) {
    struct Case {
        const char* config;  // nullptr: no file
        int32_t logArg, alsArg, log, als;
    };
    const Case cases[] = {
        {nullptr, 8, 30, 8, 30},
        {"", 8, 30, 8, 30},
        {"[log]\nperiod = 0;\n", 8, 30, 0, 30},
        {"[als]\nperiod = 0;\n", 8, 30, 8, 0},
        {"[als]\nperiod = -3;\n[log]\nperiod = 120;\n", 8, 30, 120, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config ? c.config : "(no file)");
        std::filesystem::remove(m_configDir->Path() + "/OrvaneSystemDx.ini");
        if (c.config != nullptr) {
            WriteConfig(c.config);
        }
        auto core = MakeCore(c.logArg, c.alsArg);
        EXPECT_EQ(core->GetLogInterval(), c.log);
        EXPECT_EQ(core->GetAlsPeriod(), c.als);
    }
}

TEST_F(MonitorTest, MissingConfigurationFileIsReportedAndTheCoreRunsWithoutCards) {
    auto core = MakeCore(4, 0);
    EXPECT_THAT(Messages(),
                ElementsAre("Can't open " + m_configDir->Path() + "/OrvaneSystemDx.ini."));
    EXPECT_EQ(core->GetCardCount(), 0);
    EXPECT_THAT(core->GetWatchList(), IsEmpty());
    core->Tick();  // samples are still taken, with no card in them
    ASSERT_EQ(core->GetSamples().size(), 1u);
    EXPECT_THAT(core->GetSamples()[0].busy, ::testing::Each(0));
}

TEST_F(MonitorTest, FirstTickConnectsTheFirstCardOfEachHostOnItsDevicePort) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax") +
                CardSection("HOSTA", 2, "sat-b", "corax-e") +  // letter case: another host
                CardSection("hostA", 3, "sat-b", "corax") +
                CardSection("hostB", 4, "sat-m", "tarsa"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    auto core = MakeCore();
    core->Tick();
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33254", "connect 2 HOSTA 33274",
                                        "connect 4 hostB 33284"));
}

TEST_F(MonitorTest, HostIsAnAddressAndTheDevicePort) {
    // One address serving two device models: the corax-e service never answers,
    // and must not keep the corax cards of that address waiting behind it.
    WriteConfig(
        CardSection("hostA", 1, "sat-b", "corax-e") + CardSection("hostA", 2, "sat-b", "corax") +
        CardSection("hostA", 3, "sat-b", "corax-e") + CardSection("hostA", 4, "sat-b", "corax"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    auto core = MakeCore();
    core->Tick();
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33274", "connect 2 hostA 33254"));

    std::set<int32_t> later;
    EXPECT_TRUE(core->IsFirstCardOnHost(2, later));
    EXPECT_THAT(later, ElementsAre(3));  // slot of card 4, same address and port
    later.clear();
    EXPECT_FALSE(core->IsFirstCardOnHost(4, later));
    EXPECT_THAT(later, IsEmpty());
}

TEST_F(MonitorTest, ReconnectPassNeedsStrictlyMoreThanTwentySecondsSinceTheLast) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    auto core = MakeCore();
    core->Tick();
    ASSERT_EQ(Connects().size(), 1u);

    struct Step {
        int64_t advanceMs;
        bool pass;
    };
    // Each pass restarts the pace.
    // Whole seconds count: 1 ms into the 21st second is not yet more than 20.
    const Step steps[] = {{20000, false}, {1000, true},  {20000, false}, {999, false},
                          {1, true},      {5000, false}, {16000, true}};
    for (const Step& step : steps) {
        CFakeVexlink::Get().ClearJournal();
        m_clock.AdvanceMs(step.advanceMs);
        core->Tick();
        EXPECT_EQ(Connects().size(), step.pass ? 1u : 0u) << "after +" << step.advanceMs << " ms";
    }
}

TEST_F(MonitorTest, SamplesComeEveryIntervalOfWholeSecondsHoweverThePassesFall) {
    // Passes every 300 ms for an hour: whole seconds give 3600 / 4 samples,
    // where comparing milliseconds would give one every 4.2 s.
    auto core = MakeCore(4, 30);
    for (int pass = 0; pass < 12000; ++pass) {
        core->Tick();
        m_clock.AdvanceMs(300);
    }
    EXPECT_EQ(core->GetSamples().size(), 900u);
}

TEST_F(MonitorTest, WaitForARecordEndsWhenTheNextTimerIsDue) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    auto core = MakeCore(4, 30);   // sample every 4 s, ALS step every 31 s, reconnect every 21 s
    auto quiet = MakeCore(0, 30);  // no samples: the reconnect pass is next
    core->Tick();
    quiet->Tick();
    EXPECT_EQ(core->MillisecondsToNextTimer(), 4000);
    EXPECT_EQ(quiet->MillisecondsToNextTimer(), 21000);
    m_clock.AdvanceMs(3700);
    EXPECT_EQ(core->MillisecondsToNextTimer(), 300);
    m_clock.AdvanceMs(400);
    EXPECT_EQ(core->MillisecondsToNextTimer(), 0) << "overdue";
    core->Tick();
    EXPECT_EQ(core->MillisecondsToNextTimer(), 3900);

    core->StartCardMode(1);  // a mode setup: its pause is the nearest timer
    EXPECT_EQ(core->MillisecondsToNextTimer(), MODE_SETUP_PAUSE_MS);
}

TEST_F(MonitorTest, ReconnectPassSkipsCardsThatAreConnected) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax") +
                CardSection("hostB", 2, "sat-b", "corax"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    auto core = MakeCore();
    core->SetCardStatus(1, STATUS_MODE_RUNNING, 0, 0);
    core->Tick();
    EXPECT_THAT(Connects(), ElementsAre("connect 2 hostB 33254"));
}

TEST_F(MonitorTest, SettingTheWallClockBackSuspendsNoTimer) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    auto core = MakeCore(30, 10);
    core->ApplyCardParameters({{"code", "sat-b"}, {"als", "analog"}}, 1);
    core->Tick();
    ASSERT_EQ(Connects().size(), 1u);
    ASSERT_EQ(core->GetSamples().size(), 1u);

    CFakeVexlink::Get().ClearJournal();
    m_clock.SetWall(START_WALL - 3600);
    m_clock.Advance(31);
    core->Tick();

    EXPECT_EQ(Connects().size(), 1u);
    EXPECT_THAT(CFakeVexlink::Get().SentBy(1), ElementsAre(AlsCommand("digital")));
    ASSERT_EQ(core->GetSamples().size(), 2u);
    // Sample times stay what the user's clock says.
    EXPECT_EQ(core->GetSamples()[1].time, START_WALL - 3600 + 31);
}

TEST_F(MonitorTest, FirstSampleComesWhenTheIntervalHasPassedSinceFortySecondsBeforeStart) {
    struct Case {
        int32_t interval;
        int64_t firstAfter;  // seconds after start
    };
    const Case cases[] = {{4, 0}, {40, 0}, {41, 1}, {120, 80}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interval);
        CFakeClock clock(START_WALL);
        COrvane core(ReadStationConfig(c.interval, 0), &clock);
        core.Tick();
        if (c.firstAfter > 0) {
            EXPECT_THAT(core.GetSamples(), IsEmpty());
            clock.Advance(c.firstAfter - 1);
            core.Tick();
            EXPECT_THAT(core.GetSamples(), IsEmpty());
            clock.Advance(1);
            core.Tick();
        }
        ASSERT_EQ(core.GetSamples().size(), 1u);
        EXPECT_EQ(core.GetSamples()[0].time, START_WALL + c.firstAfter);

        // Then one sample every interval, taken when exactly the interval has passed.
        clock.AdvanceMs(c.interval * 1000 - 1);
        core.Tick();
        EXPECT_EQ(core.GetSamples().size(), 1u);
        clock.AdvanceMs(1);
        core.Tick();
        EXPECT_EQ(core.GetSamples().size(), 2u);
    }
}

TEST_F(MonitorTest, AlsStepMovesCodeActiveCardsOnePhasePerStep) {
    WriteConfig(CardSection("h", 1, "sat-b", "corax") + CardSection("h", 2, "sat-b", "corax") +
                CardSection("h", 3, "sat-b", "corax"));
    auto core = MakeCore(0, 30);
    core->ApplyCardParameters({{"code", "sat-b"}, {"als", "analog"}}, 1);
    core->ApplyCardParameters({{"als", "analog"}}, 2);  // code not active yet
    core->ApplyCardParameters({{"code", "sat-b"}}, 3);  // phase 0: never stepped
    CFakeVexlink& fake = CFakeVexlink::Get();
    fake.ClearJournal();

    auto step = [&](int64_t seconds) {
        m_clock.Advance(seconds);
        core->Tick();
    };
    step(30);  // exactly the period: no step
    EXPECT_THAT(fake.SentBy(1), IsEmpty());
    step(1);
    EXPECT_THAT(fake.SentBy(1), ElementsAre(AlsCommand("digital")));
    EXPECT_THAT(fake.SentBy(2), IsEmpty());

    core->ApplyCardParameters({{"code", "sat-m"}}, 2);
    step(31);
    EXPECT_THAT(fake.SentBy(1), ElementsAre(AlsCommand("digital"), AlsCommand("finish")));
    EXPECT_THAT(fake.SentBy(2), ElementsAre(AlsCommand("digital")));
    step(31);
    step(31);
    EXPECT_THAT(fake.SentBy(1), ElementsAre(AlsCommand("digital"), AlsCommand("finish")));
    EXPECT_THAT(fake.SentBy(2), ElementsAre(AlsCommand("digital"), AlsCommand("finish")));
    EXPECT_THAT(fake.SentBy(3), IsEmpty());
    const std::vector<CardState> rows = Rows(*core);
    EXPECT_EQ(rows[0].alsPhase, 3);
    EXPECT_EQ(rows[1].alsPhase, 3);
    EXPECT_EQ(rows[2].alsPhase, 0);
}

TEST_F(MonitorTest, FirstCardOnHostComparesAddressesExactly) {
    WriteConfig(
        CardSection("host1", 1, "sat-b", "corax") + CardSection("HOST1", 2, "sat-b", "corax") +
        CardSection("host1", 3, "sat-b", "corax") + CardSection("10.0.0.1", 4, "sat-b", "corax") +
        CardSection("host1", 5, "sat-b", "corax"));
    auto core = MakeCore();
    struct Case {
        int32_t card;
        bool first;
        std::set<int32_t> later;  // starting from {9}
    };
    const Case cases[] = {
        {1, true, {2, 4, 9}}, {2, true, {9}},  {3, false, {9}}, {4, true, {9}},
        {5, false, {9}},      {0, false, {9}}, {6, false, {9}}, {-1, false, {9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        std::set<int32_t> later = {9};
        EXPECT_EQ(core->IsFirstCardOnHost(c.card, later), c.first);
        EXPECT_EQ(later, c.later);
    }
}

TEST_F(MonitorTest, PostQuitWritesOneStopRecord) {
    auto core = MakeCore();
    core->PostQuit();
    ASSERT_EQ(COrvaneTestAccess::Queue(*core).Unread(), EVENT_HEADER_SIZE);
    char bytes[EVENT_HEADER_SIZE];
    ASSERT_TRUE(COrvaneTestAccess::Queue(*core).Read(bytes, EVENT_HEADER_SIZE, 0));
    char expected[EVENT_HEADER_SIZE] = {};
    const uint16_t type = EVT_QUIT;
    const int16_t length = EVENT_HEADER_SIZE;
    std::memcpy(expected, &type, sizeof type);
    std::memcpy(expected + 2, &length, sizeof length);
    EXPECT_EQ(std::memcmp(bytes, expected, EVENT_HEADER_SIZE), 0);
}

TEST_F(MonitorTest, DestructorDisconnectsAndReleasesEachCardInSlotOrder) {
    WriteConfig(CardSection("a", 1, "sat-b", "corax") + CardSection("b", 2, "sat-b", "corax"));
    auto core = MakeCore();
    core->Tick();
    CFakeVexlink::Get().WaitIdle();
    CFakeVexlink::Get().ClearJournal();
    core.reset();
    EXPECT_THAT(CFakeVexlink::Get().Journal(), ElementsAre("disconnect 1", "down 1", "release 1",
                                                           "disconnect 2", "down 2", "release 2"));
}

TEST_F(MonitorTest, DestructorDoesNotHangWhenLinkDownRecordsFindTheQueueFull) {
    WriteConfig(CardSection("a", 1, "sat-b", "corax") + CardSection("b", 2, "sat-b", "corax"));
    auto core = MakeCore();
    core->Tick();
    CFakeVexlink::Get().WaitIdle();
    CCircularBuffer<char>& queue = COrvaneTestAccess::Queue(*core);
    const std::string filler(static_cast<size_t>(queue.Capacity() - 1 - queue.Unread() - 10), 'x');
    ASSERT_TRUE(queue.Write(filler.data(), static_cast<int32_t>(filler.size())));

    // Should the destructor wait for room, the rescuer frees some after a
    // while, so that the test fails instead of hanging.
    CQueueRescuer rescuer(queue);
    core.reset();
    EXPECT_FALSE(rescuer.Finish());
    EXPECT_THAT(CFakeVexlink::Get().Journal(), ::testing::Contains("release 2"));
}

TEST_F(MonitorTest, RowsAreConsistentCopiesWhileTheDispatchThreadChangesCards) {
    WriteConfig(CardSection("a", 1, "sat-b", "corax"));
    auto core = MakeCore();
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int32_t i = 1; !stop; ++i) {
            core->StartSession(1, 1000 + i % 5000, SERVICE_DATA);
            core->EndSession(1);
        }
    });
    int inconsistent = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<CardState> rows;
        core->GetCardRows(rows);
        const CardState& row = rows.at(0);
        const bool busy =
            row.status == STATUS_BUSY_SESSION && row.mesId >= 1000 && row.service == SERVICE_DATA;
        const bool idle = row.status == STATUS_MODE_RUNNING && row.mesId == 0 && row.service == 0;
        const bool initial = row.status == STATUS_NOT_CONNECTED && row.mesId == 0;
        inconsistent += (busy || idle || initial) ? 0 : 1;
    }
    stop = true;
    changer.join();
    EXPECT_EQ(inconsistent, 0);
}

}  // namespace

namespace {

TEST_F(MonitorTest, WritesTheCardCommandLogToTheFileItIsGiven) {
    WriteConfig(CardSection("host-a", 4711, "sat-b", "corax"));
    const std::string path = m_configDir->Path() + "/cards.log";
    {
        auto core = std::make_unique<COrvane>(ReadStationConfig(0, 0, path), &m_clock);
        core->Tick();  // the first pass connects the card; the double brings its link up
        CFakeVexlink::Get().WaitIdle();
    }
    const std::string log = ReadFile(path);
    // Each entry: the local time stamp with milliseconds, then the entry's
    // text; every line ends in CR LF.
    const std::string stamp = R"(\d{4}/\d{1,2}/\d{1,2}  \d\d:\d\d:\d\d\.\d{3}\r\n)";
    EXPECT_TRUE(
        std::regex_search(log, std::regex("^" + stamp + "Connect Card 1:\r\nhost-a 33254\r\n\r\n" +
                                          stamp + "Receive Card 1:\r\nUp\r\n\r\n")))
        << log;
    for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
        ASSERT_TRUE(at > 0 && log[at - 1] == '\r') << "a bare line feed at " << at;
    }
}

TEST_F(MonitorTest, WithoutALogFileNameNoLogIsWritten) {
    WriteConfig(CardSection("host-a", 4711, "sat-b", "corax"));
    const std::vector<std::string> before = ListFolder(m_configDir->Path());
    {
        auto core = MakeCore();
        core->Tick();
        CFakeVexlink::Get().WaitIdle();
    }
    EXPECT_EQ(ListFolder(m_configDir->Path()), before);
    EXPECT_TRUE(ListFolder(m_dataRoot->Path()).empty());
}

}  // namespace
