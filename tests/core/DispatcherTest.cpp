// The dispatch thread: its first refresh, one Tick after every record but the stop record, the host
// connects on a link up, mode setups that hold no other card, refreshes on changes only, and an
// idle Tick about once a second.
#include "core/Dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "core/CoreTestSupport.h"
#include "core/DispatchHarness.h"
#include "support/CoreAccess.h"
#include "support/FakeClock.h"

using namespace apptest;
using namespace coretest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// Steady time moves 5 s at every read, so that every Tick with an interval of
// 4 s takes a sample: the samples count the Ticks.
class CSteppingClock : public CClock {
public:
    int64_t WallSeconds() const override { return 1700000000; }
    int64_t SteadyMilliseconds() const override { return m_steady += 5000; }

private:
    mutable std::atomic<int64_t> m_steady{0};
};

// Runs `probe` at every read of the wall clock once armed (the cards read it
// in every status change).
class CProbeClock : public CFakeClock {
public:
    int64_t WallSeconds() const override {
        if (m_armed) {
            m_probe();
        }
        return CFakeClock::WallSeconds();
    }
    void Arm(std::function<void()> probe) {
        m_probe = std::move(probe);
        m_armed = true;
    }

private:
    std::function<void()> m_probe;
    std::atomic<bool> m_armed{false};
};

// Notes the real time of every read of the steady clock once armed; with an
// idle queue only Tick reads it, once per call.
class CTickTimingClock : public CFakeClock {
public:
    int64_t SteadyMilliseconds() const override {
        if (m_armed) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_ticks.push_back(std::chrono::steady_clock::now());
        }
        return CFakeClock::SteadyMilliseconds();
    }
    void Arm() { m_armed = true; }
    std::vector<std::chrono::steady_clock::time_point> Ticks() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_ticks;
    }

private:
    mutable std::mutex m_lock;
    mutable std::vector<std::chrono::steady_clock::time_point> m_ticks;
    std::atomic<bool> m_armed{false};
};

class DispatchThreadTest : public CCoreFixture {
protected:
    void SetUp() override {
        CCoreFixture::SetUp();
        CFakeVexlink::Get().SetAutoLinkUp(false);
    }
    static CardState Row(const COrvane& core, int32_t card) {
        std::vector<CardState> rows;
        core.GetCardRows(rows);
        return rows.at(static_cast<size_t>(card - 1));
    }

    CProbeClock m_clock;
};

// True when a write of `count` bytes into the full queue returned at once
// rather than waiting for a reader. A reader frees room after 20 s, so that a
// writer that waits makes the test fail instead of hang.
bool WriteIntoFullQueueReturnsAtOnce(CCircularBuffer<char>& queue) {
    const std::string filler(static_cast<size_t>(queue.Capacity() - 1 - queue.Unread() - 10), 'x');
    if (!queue.Write(filler.data(), static_cast<int32_t>(filler.size()))) {
        return false;
    }
    CQueueRescuer rescuer(queue);
    const std::string record = RecordBytes(EVT_CARD_STATUS, 1, 0);
    const bool written = queue.Write(record.data(), static_cast<int32_t>(record.size()));
    const bool rescued = rescuer.Finish();
    return !written && !rescued;
}

TEST_F(DispatchThreadTest, AsksForOneRefreshRightAfterStartBeforeReadingAnything) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CDispatchRunner runner(core, &m_clock);
    runner.Write(RecordBytes(EVT_CARD_STATUS, 1, STATUS_HOST_CONNECTED));
    // The status record already waits in the queue when the thread starts.
    std::vector<int32_t> statusAtFirstRefresh;
    runner.Start([&] {
        if (statusAtFirstRefresh.empty()) {
            statusAtFirstRefresh.push_back(Row(core, 1).status);
        }
    });
    runner.Settle();
    runner.Stop();
    EXPECT_THAT(statusAtFirstRefresh, ElementsAre(STATUS_NOT_CONNECTED));
    EXPECT_EQ(Row(core, 1).status, STATUS_HOST_CONNECTED);
    EXPECT_EQ(runner.Refreshes(), 2);  // start, then the status record
    EXPECT_EQ(runner.Result(), 0u);
}

TEST_F(DispatchThreadTest, StopRecordEndsTheThreadWithoutTickAndLeavesLaterRecordsUnread) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax"));
    COrvane core(ReadStationConfig(4, 0), &m_clock);
    CDispatchRunner runner(core, &m_clock);
    core.PostQuit();
    runner.Write(RecordBytes(EVT_CARD_STATUS, 1, STATUS_HOST_CONNECTED));
    runner.Start();
    runner.Join();

    // A Tick would have connected the card and taken a sample.
    EXPECT_THAT(Connects(), IsEmpty());
    EXPECT_THAT(core.GetSamples(), IsEmpty());
    EXPECT_EQ(COrvaneTestAccess::Queue(core).Unread(), EVENT_HEADER_SIZE);
    EXPECT_EQ(Row(core, 1).status, STATUS_NOT_CONNECTED);
    EXPECT_EQ(runner.Refreshes(), 1);
    EXPECT_EQ(runner.Result(), 0u);
    // Nothing reads any more: writers are no longer held up by a full queue.
    EXPECT_TRUE(WriteIntoFullQueueReturnsAtOnce(COrvaneTestAccess::Queue(core)));
}

TEST_F(DispatchThreadTest, EveryRecordButTheStopRecordIsFollowedByOneTick) {
    CSteppingClock clock;
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax"));
    COrvane core(ReadStationConfig(4, 0), &clock);
    CDispatchRunner runner(core);
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, "", 10));    // length below the header
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, "", -300));  // negative length
    runner.Write(RecordBytes(77, 1));                             // unknown type
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 9, 0, CardsInformation({1})));  // no such card
    runner.Write(RecordBytes(EVT_CARD_STATUS, 0, STATUS_HOST_CONNECTED));      // no such card
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, CardsInformation({1})));
    core.PostQuit();
    runner.Start();
    runner.Join();

    EXPECT_EQ(core.GetSamples().size(), 6u);
    EXPECT_EQ(COrvaneTestAccess::Queue(core).Unread(), 0);
    // The damaged records took nothing that followed them: the last message
    // still reached card 1, and only card 1.
    EXPECT_THAT(CFakeVexlink::Get().SentBy(1),
                ElementsAreArray(Concat({{ConnectCommand(1)}, ModeSetup("sat-b")})));
    EXPECT_EQ(Row(core, 1).status, STATUS_MODE_RUNNING);
}

TEST_F(DispatchThreadTest, LinkUpRecordsHostConnectedBeforeConnectingTheHostsOtherCards) {
    WriteConfig(CardSection("hostA", 1, "sat-b", "corax") +
                CardSection("hostA", 2, "sat-b", "corax"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    ASSERT_THAT(Connects(), ElementsAre("connect 1 hostA 33254"));

    std::mutex lock;
    std::vector<size_t> connectsAtStatusChange;
    m_clock.Arm([&] {
        std::lock_guard<std::mutex> guard(lock);
        connectsAtStatusChange.push_back(Connects().size());
    });
    CFakeVexlink::Get().FireLinkUp(1);
    runner.Settle();
    EXPECT_THAT(Connects(), ElementsAre("connect 1 hostA 33254", "connect 2 hostA 33254"));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_THAT(connectsAtStatusChange, ElementsAre(1u));
    }
    EXPECT_EQ(Row(core, 1).status, STATUS_HOST_CONNECTED);
    EXPECT_EQ(runner.Refreshes(), 2);

    // Link down during a session: Not Connected, no session, a refresh, and
    // nobody connected.
    CFakeVexlink::Get().FireMessage(1, TrafficText(Start(" B", 4242, "DATA")));
    runner.Settle();
    ASSERT_EQ(Row(core, 1).status, STATUS_BUSY_SESSION);
    CFakeVexlink::Get().FireLinkDown(1);
    runner.Settle();
    const CardState row = Row(core, 1);
    EXPECT_EQ(row.status, STATUS_NOT_CONNECTED);
    EXPECT_EQ(row.mesId, 0);
    EXPECT_EQ(row.service, SERVICE_NONE);
    EXPECT_EQ(Connects().size(), 2u);
    EXPECT_EQ(runner.Refreshes(), 4);
}

// The sends of the library double's journal, as "card word", in call order.
std::vector<std::string> Wire() {
    std::vector<std::string> wire;
    for (const std::string& line : CFakeVexlink::Get().Journal()) {
        if (line.rfind("send ", 0) != 0) {
            continue;
        }
        const std::string card = line.substr(5, line.find(' ', 5) - 5);
        std::string word = "?";
        for (const char* known : {"no-mode", "Configuration", "sat-b", "resync", "Connect"}) {
            if (line.find(known) != std::string::npos) {
                word = known;
                break;
            }
        }
        wire.push_back(card + " " + word);
    }
    return wire;
}

TEST_F(DispatchThreadTest, ModeSetupPausesHoldNoOtherCardAndRepeatedRequestsGiveOneMoreSetup) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax") +
                CardSection("hostB", 22, "sat-b", "corax"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    core.SetCardStatus(2, STATUS_MODE_RUNNING, 0, 0);
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    CFakeVexlink::Get().ClearJournal();

    // A host that keeps listing card 1, and card 2 offered a refused session
    // while card 1's first pause runs (virtual time stands still meanwhile).
    for (int i = 0; i < 5; ++i) {
        runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, CardsInformation({11})));
    }
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 2, 0, TrafficText(Start(" B", 0))));
    runner.Sync();
    EXPECT_THAT(Wire(), ElementsAre("1 Connect", "1 no-mode", "2 resync"));
    EXPECT_NE(Row(core, 1).status, STATUS_MODE_RUNNING) << "not while its setup goes out";

    // The second list's request is the one more setup; it follows that list's
    // Connect command, and the later lists' requests add nothing.
    runner.Settle();
    EXPECT_THAT(Wire(), ElementsAre("1 Connect", "1 no-mode", "2 resync", "1 Configuration",
                                    "1 sat-b", "1 Connect", "1 no-mode", "1 Configuration",
                                    "1 sat-b", "1 Connect", "1 Connect", "1 Connect"));
    EXPECT_EQ(Row(core, 1).status, STATUS_MODE_RUNNING);
}

TEST_F(DispatchThreadTest, StopRecordDropsTheSetupUnderWay) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    CFakeVexlink::Get().ClearJournal();
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, CardsInformation({11})));
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, TrafficText(Start(" B", 0))));
    core.PostQuit();
    runner.Join();
    m_clock.AdvanceMs(10 * MODE_SETUP_PAUSE_MS);
    core.Tick();  // nothing is left to come due
    EXPECT_THAT(Wire(), ElementsAre("1 Connect", "1 no-mode"));
}

TEST_F(DispatchThreadTest, RefreshFollowsEveryChangeOfTheTableAndNothingElse) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax") +
                CardSection("hostB", 22, "sat-b", "corax"));
    COrvane core(ReadStationConfig(0, 30), &m_clock);
    ASSERT_TRUE(core.StartSession(1, 1234, SERVICE_TELEPHONE));
    ASSERT_TRUE(core.StartSession(2, 5678, SERVICE_TELEPHONE));
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    CFakeVexlink::Get().ClearJournal();

    struct Step {
        const char* name;
        std::string message;  // on card 1's link
        int refreshes;
        std::vector<std::string> sent;  // by card 1
        int32_t status;                 // card 1 afterwards
    };
    const Step steps[] = {
        // An "end" asks for a refresh that the refused start behind it must not take back.
        {"end, then a refused start",
         TrafficText(End(" B") + Start(" B", 5678)),
         1,
         {ResyncCommand()},
         STATUS_MODE_RUNNING},
        {"refused start",
         TrafficText(Start(" B", 5678)),
         0,
         {ResyncCommand()},
         STATUS_MODE_RUNNING},
        {"accepted start", TrafficText(Start(" B", 777)), 1, {}, STATUS_BUSY_SESSION},
        {"refused start, then an end",
         TrafficText(Start(" B", 5678) + End(" B")),
         1,
         {ResyncCommand()},
         STATUS_MODE_RUNNING},
        {"parameter list", ParameterList({{"code", "sat-b"}}), 0, {}, STATUS_MODE_RUNNING},
        {"events other than start and end",
         TrafficText("MODE: B SERV:TEL  EVNT:ccs;"),
         0,
         {},
         STATUS_MODE_RUNNING},
        {"no known kind", "<Message><Other/></Message>", 0, {}, STATUS_MODE_RUNNING},
        {"card list without the card",
         CardsInformation({22}),
         1,
         {ConnectCommand(11)},
         STATUS_MODE_RUNNING},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        CFakeVexlink::Get().ClearJournal();
        const int before = runner.Refreshes();
        runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, step.message));
        runner.Sync();
        EXPECT_EQ(runner.Refreshes() - before, step.refreshes);
        EXPECT_THAT(CFakeVexlink::Get().SentBy(1), ElementsAreArray(step.sent));
        EXPECT_EQ(Row(core, 1).status, step.status);
    }
    EXPECT_TRUE(Row(core, 1).codeActive);
}

TEST_F(DispatchThreadTest, MessageWithCardsAndParametersIsTakenAsCardsInformationOnly) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax"));
    COrvane core(ReadStationConfig(0, 30), &m_clock);
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    CFakeVexlink::Get().ClearJournal();
    runner.Write(RecordBytes(
        EVT_CARD_MESSAGE, 1, 0,
        "<Message version=\"1.0\"><Information><Cards><Card number=\"1\" serial-nr=\"11\"/></Cards>"
        "<ParameterList><Parameter name=\"code\" value=\"sat-b\"/><Parameter name=\"als\" "
        "value=\"off\"/></ParameterList></Information></Message>"));
    runner.Settle();
    EXPECT_THAT(CFakeVexlink::Get().SentBy(1),
                ElementsAreArray(Concat({{ConnectCommand(11)}, ModeSetup("sat-b")})));
    EXPECT_FALSE(Row(core, 1).codeActive);
}

TEST_F(DispatchThreadTest, CardListsCollectEverySerialNumberSeenFromAllHosts) {
    WriteConfig(CardSection("hostA", 11, "sat-b", "corax") +
                CardSection("hostB", 22, "sat-m", "corax"));
    COrvane core(ReadStationConfig(0, 0), &m_clock);
    CDispatchRunner runner(core, &m_clock);
    runner.Start();
    runner.Settle();
    CFakeVexlink::Get().ClearJournal();

    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 2, 0, CardsInformation({11, 33, 44})));
    runner.Sync();
    EXPECT_THAT(CFakeVexlink::Get().SentBy(2), ElementsAre(ConnectCommand(22)));

    // Card 1's own host does not name it, but an earlier list did.
    runner.Write(RecordBytes(EVT_CARD_MESSAGE, 1, 0, CardsInformation({22, 55, 66})));
    runner.Settle();
    EXPECT_THAT(CFakeVexlink::Get().SentBy(1),
                ElementsAreArray(Concat({{ConnectCommand(11)}, ModeSetup("sat-b")})));
    EXPECT_EQ(Row(core, 1).status, STATUS_MODE_RUNNING);
}

TEST_F(DispatchThreadTest, EmptyQueueRunsTickAboutOnceASecond) {
    CTickTimingClock clock;
    COrvane core(ReadStationConfig(0, 0), &clock);
    CDispatchRunner runner(core);
    runner.Start();
    runner.Settle();
    clock.Arm();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (clock.Ticks().size() < 6 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // A pass reads the steady clock in Tick and once more to know how long it
    // may wait; reads closer together than a poll belong to one pass.
    std::vector<std::chrono::steady_clock::time_point> passes;
    for (const auto& read : clock.Ticks()) {
        if (passes.empty() || read - passes.back() >= std::chrono::milliseconds(50)) {
            passes.push_back(read);
        }
    }
    ASSERT_GE(passes.size(), 3u);
    // The virtual clock stands on a whole second, so the next timer (the ALS
    // step, period 0) is a whole second away: a timed-out read of 20 polls.
    for (size_t i = 1; i < passes.size(); ++i) {
        EXPECT_GE(passes[i] - passes[i - 1], std::chrono::milliseconds(1000));
        EXPECT_LE(passes[i] - passes[i - 1], std::chrono::milliseconds(5000));
    }
    EXPECT_EQ(runner.Refreshes(), 1);
}

}  // namespace
