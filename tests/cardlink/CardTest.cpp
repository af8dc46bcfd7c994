// A configured card: its library object's life, the connect on its device's port, busy time on the
// steady clock, the ALS walk, mode setups on timers with commands waiting behind them, and
// consistent state copies.
#include "cardlink/Card.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "cardlink/CardCommands.h"
#include "cardlink/EventRecord.h"
#include "resources/OrvaneTypes.h"
#include "support/FakeClock.h"
#include "support/FakeVexlink.h"

namespace {

std::string SetAls(const std::string& value) {
    return R"(<Message version="1.0"><Command><Set><ParameterList><Parameter name="als" value=")" +
           value + R"("/></ParameterList></Set></Command></Message>)";
}

class CardTest : public ::testing::Test {
protected:
    void SetUp() override { fake.Reset(); }

    std::unique_ptr<CCard> MakeCard(int32_t number = 1, const std::string& address = "host-a",
                                    int32_t device = 0, int32_t mode = 0) {
        return std::make_unique<CCard>(number, address, 5150 + number, mode, device, &queue,
                                       log.Logger(), &clock);
    }

    CFakeVexlink& fake = CFakeVexlink::Get();
    CCircularBuffer<char> queue;
    CTempLog log;
    CFakeClock clock{1700000000};
};

TEST_F(CardTest, ConstructionCreatesTheLibraryObjectButDoesNotConnect) {
    const std::unique_ptr<CCard> card = MakeCard(4, "10.1.2.3", 2, 3);
    EXPECT_TRUE(card->HasInstance());
    EXPECT_EQ(fake.Journal(), std::vector<std::string>{"create 1"});
    ASSERT_EQ(fake.TextsSeen().size(), 1u);
    EXPECT_EQ(fake.TextsSeen()[0], (std::pair<std::string, std::string>{"", ""}));
    ASSERT_EQ(fake.OptionsSeen().size(), 1u);
    unsigned char options[12];
    std::memcpy(options, &fake.OptionsSeen()[0], 12);
    int32_t value1 = 0;
    int32_t value2 = -1;
    std::memcpy(&value1, options + 4, 4);
    std::memcpy(&value2, options + 8, 4);
    EXPECT_EQ(options[0], 0);
    EXPECT_EQ(options[1], 1);
    EXPECT_EQ(value1, 1);
    EXPECT_EQ(value2, 0);

    const CardState state = card->GetState();
    EXPECT_EQ(state.number, 4);
    EXPECT_EQ(state.address, "10.1.2.3");
    EXPECT_EQ(state.serialNumber, 5154);
    EXPECT_EQ(state.status, STATUS_NOT_CONNECTED);
    EXPECT_EQ(state.mode, 3);
    EXPECT_EQ(state.device, 2);
    EXPECT_EQ(state.mesId, 0);
    EXPECT_EQ(state.service, 0);
    EXPECT_EQ(state.alsPhase, 0);
    EXPECT_FALSE(state.codeActive);
    EXPECT_EQ(state.statusSince, 0);
    EXPECT_EQ(state.busySeconds, 0);
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(CardTest, HostIsConnectedOnThePortOfTheDeviceModel) {
    fake.SetAutoLinkUp(false);
    struct Case {
        int32_t device;
        std::string port;
    };
    int instance = 0;
    for (const Case& c :
         {Case{0, "33254"}, Case{1, "33274"}, Case{2, "33284"}, Case{3, ""}, Case{-1, ""}}) {
        CTempLog deviceLog;
        CCard card(2, "10.0.0.7", 1, 0, c.device, &queue, deviceLog.Logger(), &clock);
        card.ConnectHost();
        EXPECT_EQ(fake.JournalOf(++instance).back(), "connect 10.0.0.7 " + c.port) << c.device;
        EXPECT_EQ(deviceLog.Entries(),
                  std::vector<std::string>{"Connect Card 2:\n10.0.0.7 " + c.port + "\n\n"})
            << c.device;
    }
}

TEST_F(CardTest, CardWithoutLibraryObjectStaysNotConnectedAndTouchesNothing) {
    fake.SetCreateFails(true);
    {
        const std::unique_ptr<CCard> card = MakeCard();
        EXPECT_FALSE(card->HasInstance());
        card->ConnectHost();
        card->SendConnectCommand();
        card->ApplyMode();
        card->Resync();
        card->OnAlsReport("off");
        card->AlsDigital();
        card->Disconnect();
        EXPECT_EQ(card->Status(), STATUS_NOT_CONNECTED);
        EXPECT_EQ(card->AlsPhase(), 2) << "the phase is the card's own state";
    }
    EXPECT_EQ(fake.Journal(), std::vector<std::string>{"create-failed"});
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(CardTest, ConnectReceiveSendAndDisconnectInOrder) {
    fake.SetAutoLinkUp(false);
    const std::string cards = "<Message><Information><Cards>5151</Cards></Information></Message>";
    const std::string connect =
        R"(<Message version="1.0"><Command><Connect><Card serial-nr="5151"/></Connect></Command></Message>)";
    {
        const std::unique_ptr<CCard> card = MakeCard(1, "host-a", 1);
        card->ConnectHost();
        fake.FireLinkUp(1);
        fake.WaitIdle();
        fake.FireMessage(1, cards);
        fake.WaitIdle();
        card->SendConnectCommand();
        card->Disconnect();
        EXPECT_EQ(fake.JournalOf(1).back(), "down")
            << "Disconnect returned before the link went down";
    }
    EXPECT_EQ(fake.JournalOf(1),
              (std::vector<std::string>{"create", "connect host-a 33274", "up", "message " + cards,
                                        "send " + connect, "disconnect", "down", "release"}));
    EXPECT_EQ(log.Entries(),
              (std::vector<std::string>{
                  "Connect Card 1:\nhost-a 33274\n\n", "Receive Card 1:\nUp\n\n",
                  "Receive Card 1:\n" + cards + "\n\n", "Send    Card 1:\n" + connect + "\n\n",
                  "Receive Card 1:\nDown\n\n"}));
    const std::optional<TakenRecord> up = TakeRecord(queue, 0);
    const std::optional<TakenRecord> message = TakeRecord(queue, 0);
    const std::optional<TakenRecord> down = TakeRecord(queue, 0);
    ASSERT_TRUE(up && message && down);
    EXPECT_EQ(up->type, EVT_CARD_STATUS);
    EXPECT_EQ(up->status, 1);
    EXPECT_EQ(message->type, EVT_CARD_MESSAGE);
    EXPECT_EQ(message->payload, cards);
    EXPECT_EQ(down->type, EVT_CARD_STATUS);
    EXPECT_EQ(down->status, 0);
}

TEST_F(CardTest, DisconnectOfACardNeverUpMakesNoCallAndDoesNotWait) {
    fake.SetAutoLinkUp(false);
    {
        const std::unique_ptr<CCard> card = MakeCard();
        card->ConnectHost();
        const auto start = std::chrono::steady_clock::now();
        card->Disconnect();
        EXPECT_LT(ElapsedMs(start), 1000);
    }
    EXPECT_EQ(fake.JournalOf(1),
              (std::vector<std::string>{"create", "connect host-a 33254", "release"}));
}

TEST_F(CardTest, DisconnectGivesUpWhenTheLinkNeverGoesDown) {
    fake.SetAutoLinkDown(false);
    const std::unique_ptr<CCard> card = MakeCard(7);
    card->ConnectHost();
    fake.WaitIdle();
    const auto start = std::chrono::steady_clock::now();
    card->Disconnect();
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, DISCONNECT_WAIT_MS);
    EXPECT_LT(elapsed, 3 * DISCONNECT_WAIT_MS);
    EXPECT_EQ(fake.JournalOf(1).back(), "disconnect");
    const std::vector<std::string> entries = log.Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().rfind("Wait    Card 7:\n", 0), 0u) << entries.back();
}

TEST_F(CardTest, DestructionReleasesTheObjectBeforeTheHandlerGoes) {
    // Callbacks still pending or running when the card goes must never reach a
    // destroyed handler (the sanitizer builds see it if they do).
    for (int round = 0; round < 5; ++round) {
        fake.Reset();
        CCircularBuffer<char> roundQueue;
        auto card =
            std::make_unique<CCard>(1, "host-a", 1, 0, 0, &roundQueue, log.Logger(), &clock);
        card->ConnectHost();
        for (int i = 0; i < 200; ++i) {
            fake.FireMessage(1, "<Message n=\"" + std::to_string(i) + "\"/>");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(round));
        card.reset();
        const std::vector<std::string> journal = fake.JournalOf(1);
        ASSERT_EQ(journal.back(), "release") << "a callback was delivered after Release";
    }
}

TEST_F(CardTest, BusyTimeIsCountedWhenTheSessionEnds) {
    const std::unique_ptr<CCard> card = MakeCard();
    card->SetState(STATUS_HOST_CONNECTED, 0, 0);
    EXPECT_EQ(card->GetState().statusSince, 1700000000);
    clock.Advance(100);
    card->SetState(STATUS_MODE_RUNNING, 0, 0);
    clock.Advance(5);
    card->SetState(STATUS_BUSY_SESSION, 432100, SERVICE_FAX);
    CardState state = card->GetState();
    EXPECT_EQ(state.busySeconds, 0) << "time outside Busy Session counts for nothing";
    EXPECT_EQ(state.status, STATUS_BUSY_SESSION);
    EXPECT_EQ(state.mesId, 432100);
    EXPECT_EQ(state.service, SERVICE_FAX);
    EXPECT_EQ(state.statusSince, 1700000105);

    clock.Advance(10);
    card->SetState(STATUS_MODE_RUNNING, 0, 0);
    state = card->GetState();
    EXPECT_EQ(state.busySeconds, 10);
    EXPECT_EQ(state.mesId, 0);
    EXPECT_EQ(state.service, 0);
    EXPECT_EQ(state.statusSince, 1700000115);

    // A lost link ends the session too.
    card->SetState(STATUS_BUSY_SESSION, 99, SERVICE_DATA);
    clock.Advance(4);
    card->SetState(STATUS_NOT_CONNECTED, 0, 0);
    EXPECT_EQ(card->GetState().busySeconds, 14);
    EXPECT_EQ(card->GetState().mesId, 0);
}

TEST_F(CardTest, SessionReplacedByANewOneKeepsItsTime) {
    const std::unique_ptr<CCard> card = MakeCard();
    card->SetState(STATUS_BUSY_SESSION, 111, SERVICE_TELEPHONE);
    clock.Advance(7);
    card->SetState(STATUS_BUSY_SESSION, 222, SERVICE_ISDN);
    CardState state = card->GetState();
    EXPECT_EQ(state.busySeconds, 7);
    EXPECT_EQ(state.mesId, 222);
    EXPECT_EQ(state.service, SERVICE_ISDN);
    EXPECT_EQ(state.statusSince, 1700000007) << "the new session starts now";
    clock.Advance(3);
    card->SetState(STATUS_MODE_RUNNING, 0, 0);
    EXPECT_EQ(card->GetState().busySeconds, 10);
}

TEST_F(CardTest, SettingTheWallClockNeitherLosesNorInflatesBusyTime) {
    const std::unique_ptr<CCard> card = MakeCard();
    card->SetState(STATUS_BUSY_SESSION, 1, SERVICE_DATA);
    clock.AdvanceMs(10000);
    clock.SetWall(1700000000 - 3600);  // set back an hour during the session
    card->SetState(STATUS_MODE_RUNNING, 0, 0);
    EXPECT_EQ(card->GetState().busySeconds, 10);
    EXPECT_EQ(card->GetState().statusSince, 1700000000 - 3600) << "the user sees wall-clock time";

    card->SetState(STATUS_BUSY_SESSION, 2, SERVICE_DATA);
    clock.AdvanceMs(10000);
    clock.SetWall(1700000000 + 86400);  // set forward a day
    card->SetState(STATUS_MODE_RUNNING, 0, 0);
    EXPECT_EQ(card->GetState().busySeconds, 20);
}

TEST_F(CardTest, PartsOfASecondAddUpOverManySessions) {
    struct Case {
        int64_t sessionMs;
        int sessions;
        int64_t busySeconds;
    };
    for (const Case& c : {Case{2500, 4, 10}, Case{999, 3, 2}, Case{400, 10, 4}, Case{1000, 3, 3}}) {
        fake.Reset();
        const std::unique_ptr<CCard> card = MakeCard();
        for (int i = 0; i < c.sessions; ++i) {
            card->SetState(STATUS_BUSY_SESSION, 1000 + i, SERVICE_TELEPHONE);
            clock.AdvanceMs(c.sessionMs);
            card->SetState(STATUS_MODE_RUNNING, 0, 0);
            clock.AdvanceMs(777);  // idle time between sessions counts for nothing
        }
        EXPECT_EQ(card->GetState().busySeconds, c.busySeconds)
            << c.sessions << " sessions of " << c.sessionMs << " ms";
    }
}

TEST_F(CardTest, AlsPhaseTable) {
    struct Case {
        int32_t phase;  // before the report
        std::string reported;
        std::vector<std::string> sent;
        int32_t phaseAfter;
    };
    const std::vector<Case> cases = {
        {0, "analog", {}, 1},  {0, "off", {SetAls("analog")}, 0},
        {0, "Analog", {}, 0},  {0, "analog ", {}, 0},
        {0, "digital", {}, 0}, {0, "finish", {}, 0},
        {0, "", {}, 0},        {0, "Off", {}, 0},
        {1, "off", {}, 1},     {1, "analog", {}, 1},
        {2, "off", {}, 2},     {2, "analog", {}, 2},
        {3, "off", {}, 3},     {3, "analog", {}, 3},
    };
    for (const Case& c : cases) {
        fake.Reset();
        const std::unique_ptr<CCard> card = MakeCard();
        if (c.phase >= 1) {
            card->OnAlsReport("analog");
        }
        if (c.phase >= 2) {
            card->AlsDigital();
        }
        if (c.phase >= 3) {
            card->AlsFinish();
        }
        ASSERT_EQ(card->AlsPhase(), c.phase);
        fake.ClearJournal();
        card->OnAlsReport(c.reported);
        EXPECT_EQ(fake.SentBy(1), c.sent) << "phase " << c.phase << ", '" << c.reported << "'";
        EXPECT_EQ(card->AlsPhase(), c.phaseAfter)
            << "phase " << c.phase << ", '" << c.reported << "'";
        EXPECT_EQ(card->GetState().alsPhase, c.phaseAfter);
    }
}

TEST_F(CardTest, AlsWalkFromOffToFinish) {
    const std::unique_ptr<CCard> card = MakeCard();
    for (int i = 0; i < 3; ++i) {
        card->OnAlsReport("off");
    }
    EXPECT_EQ(card->AlsPhase(), 0);
    card->OnAlsReport("analog");
    card->AlsDigital();
    EXPECT_EQ(card->AlsPhase(), 2);
    card->AlsFinish();
    EXPECT_EQ(card->AlsPhase(), 3);
    card->OnAlsReport("off");
    EXPECT_EQ(fake.SentBy(1),
              (std::vector<std::string>{SetAls("analog"), SetAls("analog"), SetAls("analog"),
                                        SetAls("digital"), SetAls("finish")}));
}

TEST_F(CardTest, CommandsUseTheCardsSerialNumberAndMode) {
    const std::unique_ptr<CCard> card = MakeCard(2, "host-a", 0, 3);
    card->SendConnectCommand();
    card->Resync();
    card->ApplyMode();
    clock.AdvanceMs(MODE_SETUP_PAUSE_MS);
    card->RunDueCommands();
    const std::vector<std::string> sent = fake.SentBy(1);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_NE(sent[0].find(R"(<Card serial-nr="5152"/>)"), std::string::npos) << sent[0];
    EXPECT_NE(sent[1].find(R"(<Start item="resync"/>)"), std::string::npos) << sent[1];
    EXPECT_NE(sent[2].find(R"(value="no-mode")"), std::string::npos) << sent[2];
    EXPECT_NE(sent[4].find(R"(value="sat-c-tdm"/><Parameter name="modulation" value="bpsk")"),
              std::string::npos)
        << sent[4];
    EXPECT_EQ(sent[4], sent[5]);
}

// The card's commands, abbreviated, as the library received them, with the
// virtual time of each 50 ms step at which RunDueCommands sent them.
class CardSetupTest : public CardTest {
protected:
    std::string Abbreviation(const std::string& text) const {
        for (const auto& [needle, name] :
             std::vector<std::pair<std::string, std::string>>{{"no-mode", "no-mode"},
                                                              {"<Configuration", "config"},
                                                              {"value=\"sat-b\"", "sat-b"},
                                                              {"resync", "resync"},
                                                              {"value=\"digital\"", "digital"},
                                                              {"Connect", "connect"}}) {
            if (text.find(needle) != std::string::npos) {
                return name;
            }
        }
        return "?";
    }
    // Runs the card's timers in 50 ms steps up to `untilMs` after the start,
    // noting "@ms name" for every command sent.
    void RunUntil(CCard& card, int64_t untilMs) {
        for (; m_at <= untilMs; m_at += 50) {
            card.RunDueCommands();
            Collect();
            clock.AdvanceMs(50);
        }
    }
    void Collect() {
        const std::vector<std::string> sent = fake.SentBy(1);
        for (; m_seen < sent.size(); ++m_seen) {
            m_wire.push_back("@" + std::to_string(m_at) + " " + Abbreviation(sent[m_seen]));
        }
    }
    int64_t m_at = 0;
    size_t m_seen = 0;
    std::vector<std::string> m_wire;
};

TEST_F(CardSetupTest, PausesAreTimersAndTheCardsOtherCommandsWaitBehindThem) {
    const std::unique_ptr<CCard> card = MakeCard();
    card->ApplyMode();
    Collect();
    EXPECT_TRUE(card->SetupUnderWay());
    EXPECT_EQ(card->NextDueMs(), clock.SteadyMilliseconds() + MODE_SETUP_PAUSE_MS);
    RunUntil(*card, 100);
    card->Resync();  // issued during the first pause
    card->ApplyMode();
    card->ApplyMode();  // both ask for the same one more setup
    card->AlsDigital();
    RunUntil(*card, 300);
    card->ApplyMode();  // during the second pause: one setup is waiting already
    card->ApplyMode();
    RunUntil(*card, 1500);
    EXPECT_FALSE(card->SetupUnderWay());
    EXPECT_EQ(card->NextDueMs(), NOTHING_DUE);
    EXPECT_EQ(m_wire, (std::vector<std::string>{"@0 no-mode", "@200 config", "@200 sat-b",
                                                "@400 resync", "@400 no-mode", "@600 config",
                                                "@600 sat-b", "@800 digital"}));

    card->SendConnectCommand();  // nothing under way: at once
    Collect();
    EXPECT_EQ(m_wire.back(), "@1550 connect");
}

TEST_F(CardSetupTest, StopDropsTheSetupAndWhatWaitsBehindIt) {
    const std::unique_ptr<CCard> card = MakeCard();
    card->ApplyMode();
    card->Resync();
    card->CancelWaitingCommands();
    RunUntil(*card, 1000);
    EXPECT_FALSE(card->SetupUnderWay());
    EXPECT_EQ(m_wire, std::vector<std::string>{"@0 no-mode"});
}

TEST_F(CardSetupTest, WaitingCommandsAreBoundedOldestFirst) {
    const std::unique_ptr<CCard> card = MakeCard();
    card->ApplyMode();
    for (int i = 0; i < MAX_WAITING_COMMANDS + 4; ++i) {
        card->Resync();
    }
    RunUntil(*card, 500);
    EXPECT_EQ(fake.SentBy(1).size(), 3u + MAX_WAITING_COMMANDS);
    size_t drops = 0;
    for (const std::string& entry : log.Entries()) {
        drops += entry.rfind("Drop    Card 1:", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(drops, 4u);
}

TEST_F(CardTest, StateCopiesAreConsistentWhileTheStateChanges) {
    const std::unique_ptr<CCard> card = MakeCard();
    std::atomic<bool> stop{false};
    std::thread dispatch([&] {
        for (int32_t k = 1; !stop.load(); ++k) {
            card->SetState(STATUS_BUSY_SESSION, k, 1 + k % 6);
            card->SetCodeActive(k % 2 == 0);
            card->SetState(STATUS_MODE_RUNNING, 0, 0);
        }
    });
    const auto readRows = [&] {
        for (int i = 0; i < 20000; ++i) {
            const CardState row = card->GetState();
            if (row.status == STATUS_BUSY_SESSION) {
                ASSERT_GT(row.mesId, 0);
                ASSERT_EQ(row.service, 1 + row.mesId % 6) << "row mixes two sessions";
            } else {
                ASSERT_EQ(row.mesId, 0);
                ASSERT_EQ(row.service, 0);
            }
            ASSERT_EQ(row.address, "host-a");
        }
    };
    readRows();
    stop = true;
    dispatch.join();
}

}  // namespace
