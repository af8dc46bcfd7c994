// The core's card events: status changes, host connects, card lists and mode setups, parameter
// lists, and the watch-list rules for following, refusing, replacing and ending sessions.
#include "core/Monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "core/CoreTestSupport.h"
#include "support/FakeClock.h"

using namespace coretest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

class CardEventsTest : public CCoreFixture {
protected:
    // Cards 1 and 2 sat-b on hostA (corax, corax-e), card 3 sat-c-tdm on hostB,
    // card 4 sat-m on hostA (corax).
    void SetUp() override {
        CCoreFixture::SetUp();
        WriteConfig(CardSection("hostA", 4711, "sat-b", "corax") +
                    CardSection("hostA", 4712, "sat-b", "corax-e") +
                    CardSection("hostB", 4713, "sat-c-tdm", "tarsa") +
                    CardSection("hostA", 4714, "sat-m", "corax"));
        CFakeVexlink::Get().SetAutoLinkUp(false);
    }
    std::unique_ptr<COrvane> MakeCore(int32_t alsPeriod = 30, const std::string& watch = "") {
        if (!watch.empty()) {
            std::ofstream out(m_configDir->Path() + "/OrvaneSystemDx.ini",
                              std::ios::app | std::ios::binary);
            out << watch;
        }
        return std::make_unique<COrvane>(ReadStationConfig(0, alsPeriod), &m_clock);
    }
    static CardState Row(const COrvane& core, int32_t card) {
        std::vector<CardState> rows;
        core.GetCardRows(rows);
        return rows.at(static_cast<size_t>(card - 1));
    }

    CFakeClock m_clock;

    // Runs the passes that send the second half of every mode setup under way.
    void FinishSetups(COrvane& core) {
        for (int pass = 0; pass < 2; ++pass) {
            m_clock.AdvanceMs(MODE_SETUP_PAUSE_MS);
            core.Tick();
        }
    }
};

TEST_F(CardEventsTest, SetCardStatusSetsStatusAndEndsARunningSessionForTheStatistics) {
    auto core = MakeCore();
    ASSERT_TRUE(core->StartSession(1, 77, SERVICE_TELEPHONE));
    m_clock.Advance(10);
    core->SetCardStatus(1, STATUS_NOT_CONNECTED, 0, 0);  // link down during the session
    const CardState row = Row(*core, 1);
    EXPECT_EQ(row.status, STATUS_NOT_CONNECTED);
    EXPECT_EQ(row.mesId, 0);
    EXPECT_EQ(row.service, SERVICE_NONE);
    EXPECT_EQ(row.busySeconds, 10);
    EXPECT_EQ(row.statusSince, m_clock.WallSeconds());
}

TEST_F(CardEventsTest, ConnectHostCardsConnectsTheLaterCardsOfAHostOnlyForItsFirstCard) {
    auto core = MakeCore();
    struct Case {
        int32_t card;
        std::vector<std::string> connects;
    };
    const Case cases[] = {
        {1, {"connect 4 hostA 33254"}},
        {2, {}},  // the corax-e service of hostA is a host of its own
        {3, {}},  // alone on its host
        {4, {}},
        {0, {}},
        {5, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        CFakeVexlink::Get().ClearJournal();
        core->ConnectHostCards(c.card);
        EXPECT_THAT(Connects(), ElementsAreArray(c.connects));
    }
}

TEST_F(CardEventsTest, CardListSendsConnectAndStartsTheModeOnlyWhenTheCardIsListed) {
    auto core = MakeCore();
    CFakeVexlink& fake = CFakeVexlink::Get();

    const std::vector<int32_t> listed = {5, 4711, 9};
    core->OnCardList(1, listed);
    ASSERT_TRUE(core->HostListsCard(1, listed));
    core->StartCardMode(1);
    EXPECT_NE(Row(*core, 1).status, STATUS_MODE_RUNNING) << "not while its setup goes out";
    FinishSetups(*core);
    EXPECT_EQ(Row(*core, 1).status, STATUS_MODE_RUNNING);
    EXPECT_THAT(fake.SentBy(1),
                ElementsAreArray(Concat({{ConnectCommand(4711)}, ModeSetup("sat-b")})));

    const std::vector<int32_t> other = {4711, 4712};
    core->OnCardList(3, other);
    EXPECT_FALSE(core->HostListsCard(3, other));
    EXPECT_THAT(fake.SentBy(3), ElementsAre(ConnectCommand(4713)));
    EXPECT_EQ(Row(*core, 3).status, STATUS_NOT_CONNECTED);

    core->StartCardMode(3);
    FinishSetups(*core);
    EXPECT_THAT(fake.SentBy(3),
                ElementsAreArray(Concat({{ConnectCommand(4713)}, ModeSetup("sat-c-tdm")})));
}

// Mode Running shows once the setup's commands are out, never over a session
// the card reported meanwhile, and no setup command follows it.
TEST_F(CardEventsTest, ModeRunningFollowsTheSetupAndNeverCutsASession) {
    struct Case {
        const char* name;
        bool sessionDuringSetup;
    };
    for (const Case& c :
         {Case{"session after Mode Running", false}, Case{"session during the setup", true}}) {
        SCOPED_TRACE(c.name);
        CFakeVexlink::Get().Reset();
        CFakeVexlink::Get().SetAutoLinkUp(false);
        auto core = MakeCore();
        core->SetCardStatus(1, STATUS_HOST_CONNECTED, 0, 0);
        core->StartCardMode(1);
        if (c.sessionDuringSetup) {
            ASSERT_TRUE(core->StartSession(1, 77, SERVICE_DATA));
        }
        size_t sentAtModeRunning = 0;
        for (int pass = 0; pass < 6; ++pass) {
            m_clock.AdvanceMs(MODE_SETUP_PAUSE_MS / 2);
            core->Tick();
            if (sentAtModeRunning == 0 && Row(*core, 1).status == STATUS_MODE_RUNNING) {
                sentAtModeRunning = CFakeVexlink::Get().SentBy(1).size();
                ASSERT_TRUE(core->StartSession(1, 78, SERVICE_DATA));
            }
        }
        EXPECT_THAT(CFakeVexlink::Get().SentBy(1), ElementsAreArray(ModeSetup("sat-b")));
        const CardState row = Row(*core, 1);
        EXPECT_EQ(row.status, STATUS_BUSY_SESSION);
        EXPECT_EQ(row.mesId, c.sessionDuringSetup ? 77 : 78);
        if (!c.sessionDuringSetup) {
            EXPECT_EQ(sentAtModeRunning, ModeSetup("sat-b").size()) << "the whole setup first";
        }
    }
}

TEST_F(CardEventsTest, StartCardModeLeavesACardReadyCardAlone) {
    auto core = MakeCore();
    core->SetCardStatus(2, STATUS_CARD_READY, 0, 0);
    core->StartCardMode(2);
    EXPECT_THAT(CFakeVexlink::Get().SentBy(2), IsEmpty());
    EXPECT_EQ(Row(*core, 2).status, STATUS_CARD_READY);
}

TEST_F(CardEventsTest, ParameterListSetsTheCodeFlagAndReportsTheFirstAlsValue) {
    struct Case {
        const char* name;
        int32_t alsPeriod;
        bool codeBefore;
        std::vector<ParameterEntry> params;
        bool code;
        int32_t phase;
        std::vector<std::string> sent;
    };
    const Case cases[] = {
        {"no-mode then analog", 30, true, {{"code", "no-mode"}, {"als", "analog"}}, false, 1, {}},
        {"analog then no-mode", 30, true, {{"als", "analog"}, {"code", "no-mode"}}, true, 1, {}},
        {"period 0 ignores als and ends the walk",
         0,
         false,
         {{"als", "analog"}, {"code", "sat-b"}},
         false,
         0,
         {}},
        {"off asks for analog", 30, false, {{"als", "off"}}, false, 0, {AlsCommand("analog")}},
        {"only the first als counts",
         30,
         false,
         {{"als", "off"}, {"als", "analog"}},
         false,
         0,
         {AlsCommand("analog")}},
        {"code value sets the flag", 30, false, {{"code", "sat-b"}}, true, 0, {}},
        {"names are case-sensitive",
         30,
         false,
         {{"Code", "sat-b"}, {"ALS", "analog"}},
         false,
         0,
         {}},
        {"values are case-sensitive", 30, false, {{"als", "Analog"}}, false, 0, {}},
        {"other names are ignored",
         30,
         false,
         {{"modulation", "bpsk"}, {"code", "sat-m"}, {"x", ""}},
         true,
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeVexlink::Get().Reset();
        CFakeVexlink::Get().SetAutoLinkUp(false);
        auto core = MakeCore(c.alsPeriod);
        if (c.codeBefore) {
            core->ApplyCardParameters({{"code", "sat-b"}}, 1);
        }
        core->ApplyCardParameters(c.params, 1);
        const CardState row = Row(*core, 1);
        EXPECT_EQ(row.codeActive, c.code);
        EXPECT_EQ(row.alsPhase, c.phase);
        EXPECT_THAT(CFakeVexlink::Get().SentBy(1), ElementsAreArray(c.sent));
    }
}

TEST_F(CardEventsTest, EmptyWatchListFollowsEveryMesIdHeldByNoOtherCard) {
    auto core = MakeCore();
    EXPECT_TRUE(core->StartSession(1, 12345678, SERVICE_DATA));
    CardState row = Row(*core, 1);
    EXPECT_EQ(row.status, STATUS_BUSY_SESSION);
    EXPECT_EQ(row.mesId, 12345678);
    EXPECT_EQ(row.service, SERVICE_DATA);

    EXPECT_FALSE(core->StartSession(2, 12345678, SERVICE_FAX));  // card 1 follows it
    EXPECT_EQ(Row(*core, 2).status, STATUS_NOT_CONNECTED);
    EXPECT_FALSE(core->StartSession(1, 12345678, SERVICE_FAX));  // the card itself too

    core->EndSession(1);
    EXPECT_TRUE(core->StartSession(2, 12345678, SERVICE_FAX));
}

TEST_F(CardEventsTest, WatchListLimitsTheMesIdsFollowed) {
    auto core = MakeCore(30, "[watch]\nmesid = 1234;\n[watch]\nmesid = 5678;\n");
    ASSERT_THAT(core->GetWatchList(), ElementsAre(1234, 5678));
    EXPECT_FALSE(core->StartSession(1, 999, SERVICE_TELEPHONE));
    EXPECT_EQ(Row(*core, 1).status, STATUS_NOT_CONNECTED);
    EXPECT_TRUE(core->StartSession(1, 5678, SERVICE_TELEPHONE));
    EXPECT_FALSE(core->StartSession(2, 5678, SERVICE_TELEPHONE));
    EXPECT_TRUE(core->StartSession(2, 1234, SERVICE_TELEPHONE));
}

TEST_F(CardEventsTest, MesIdZeroIsRefusedWhileAnyCardIsOutsideASession) {
    auto core = MakeCore();
    EXPECT_FALSE(core->StartSession(1, 0, SERVICE_DATA));
    for (int32_t card = 1; card <= 4; ++card) {
        ASSERT_TRUE(core->StartSession(card, 100 + card, SERVICE_DATA));
    }
    // Every card in a session: nobody holds 0 any more.
    EXPECT_TRUE(core->StartSession(1, 0, SERVICE_DATA));
}

TEST_F(CardEventsTest, NewSessionOnABusyCardReplacesTheOldOne) {
    auto core = MakeCore();
    ASSERT_TRUE(core->StartSession(1, 111, SERVICE_DATA));
    ASSERT_TRUE(core->StartSession(1, 222, SERVICE_FAX));
    const CardState row = Row(*core, 1);
    EXPECT_EQ(row.mesId, 222);
    EXPECT_EQ(row.service, SERVICE_FAX);
    EXPECT_TRUE(core->StartSession(2, 111, SERVICE_DATA));  // 111 is free again
}

TEST_F(CardEventsTest, RefusedSessionSendsTheCardBackToSearchingWithoutChangingIt) {
    struct Case {
        const char* name;
        int32_t card;
        bool busy;
        std::vector<std::string> sent;
    };
    const Case cases[] = {
        {"sat-c-tdm idle gets its mode setup", 3, false, ModeSetup("sat-c-tdm")},
        {"sat-c-tdm busy resyncs", 3, true, {ResyncCommand()}},
        {"sat-b resyncs", 1, false, {ResyncCommand()}},
        {"sat-m busy resyncs", 4, true, {ResyncCommand()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeVexlink::Get().Reset();
        CFakeVexlink::Get().SetAutoLinkUp(false);
        auto core = MakeCore();
        if (c.busy) {
            ASSERT_TRUE(core->StartSession(c.card, 4242, SERVICE_ISDN));
        } else {
            core->SetCardStatus(c.card, STATUS_MODE_RUNNING, 0, 0);
        }
        const CardState before = Row(*core, c.card);
        core->RejectSession(c.card);
        FinishSetups(*core);
        EXPECT_THAT(CFakeVexlink::Get().SentBy(c.card), ElementsAreArray(c.sent));
        const CardState after = Row(*core, c.card);
        EXPECT_EQ(after.status, before.status);
        EXPECT_EQ(after.mesId, before.mesId);
        EXPECT_EQ(after.service, before.service);
    }
}

TEST_F(CardEventsTest, EndSessionReturnsToModeRunningAndCountsTheSession) {
    auto core = MakeCore();
    ASSERT_TRUE(core->StartSession(2, 31337, SERVICE_TELEX_SM));
    m_clock.Advance(125);
    core->EndSession(2);
    CardState row = Row(*core, 2);
    EXPECT_EQ(row.status, STATUS_MODE_RUNNING);
    EXPECT_EQ(row.mesId, 0);
    EXPECT_EQ(row.service, SERVICE_NONE);
    EXPECT_EQ(row.busySeconds, 125);

    m_clock.Advance(50);
    core->EndSession(2);  // not in a session: nothing more counts
    EXPECT_EQ(Row(*core, 2).busySeconds, 125);
}

TEST_F(CardEventsTest, CardNumbersOutsideTheConfiguredCardsAreIgnored) {
    auto core = MakeCore();
    CFakeVexlink::Get().ClearJournal();
    std::vector<CardState> before;
    core->GetCardRows(before);
    for (const int32_t card : {0, -1, 5, MAX_CARDS, MAX_CARDS + 1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(card);
        core->SetCardStatus(card, STATUS_HOST_CONNECTED, 0, 0);
        core->ConnectHostCards(card);
        core->OnCardList(card, {4711});
        EXPECT_FALSE(core->HostListsCard(card, {4711, 4712, 4713, 4714}));
        core->StartCardMode(card);
        core->ApplyCardParameters({{"code", "sat-b"}, {"als", "off"}}, card);
        EXPECT_FALSE(core->StartSession(card, 99, SERVICE_DATA));
        core->RejectSession(card);
        core->EndSession(card);
    }
    EXPECT_THAT(CFakeVexlink::Get().Journal(), IsEmpty());
    std::vector<CardState> after;
    core->GetCardRows(after);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].status, before[i].status);
        EXPECT_EQ(after[i].codeActive, before[i].codeActive);
        EXPECT_EQ(after[i].mesId, before[i].mesId);
    }
}

}  // namespace
