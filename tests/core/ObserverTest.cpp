#include "core/StationObserver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/AsyncObserver.h"
#include "core/CoreTestSupport.h"
#include "core/Monitor.h"
#include "support/FakeClock.h"

using namespace coretest;
using ::testing::ElementsAre;

namespace {

// Writes each event as a short line: "kind card detail".
class CRecorder : public CStationObserver {
public:
    void OnRunStarted(const StationInfo& info) override {
        Add("started " + std::to_string(info.cards.size()) + " cards");
    }
    void OnEvent(const StationEvent& e) override {
        std::string line;
        switch (e.kind) {
            case StationEventKind::StatusChanged:
                line = "status " + std::to_string(e.card) + " " + std::to_string(e.previousStatus) +
                       ">" + std::to_string(e.status) + " reason " + std::to_string(e.reason);
                break;
            case StationEventKind::LinkUp:
                line = "up " + std::to_string(e.card);
                break;
            case StationEventKind::LinkDown:
                line = "down " + std::to_string(e.card);
                break;
            case StationEventKind::LinkFailed:
                line = "failed " + std::to_string(e.card) + " note " + std::to_string(e.reason);
                break;
            case StationEventKind::CardNotListed:
                line = "not-listed " + std::to_string(e.card) + " after " + std::to_string(e.value);
                break;
            case StationEventKind::SessionFollowed:
                line = "followed " + std::to_string(e.card) + " " + std::to_string(e.mesId);
                break;
            case StationEventKind::SessionRefused:
                line = "refused " + std::to_string(e.card) + " " + std::to_string(e.mesId) +
                       " why " + std::to_string(e.reason) + " by " + std::to_string(e.heldBy) +
                       " action " + std::to_string(e.action);
                break;
            case StationEventKind::SessionEnded:
                line = "ended " + std::to_string(e.card) + " " + std::to_string(e.mesId) +
                       " after " + std::to_string(e.value) + " cause " + std::to_string(e.reason);
                break;
            case StationEventKind::RecordFailing:
                line = "record-failing " + std::to_string(e.reason) + " " + e.text;
                break;
            case StationEventKind::RecordResumed:
                line = "record-resumed " + std::to_string(e.reason);
                break;
            case StationEventKind::BusySeconds:
                line = "busy " + std::to_string(e.card) + " " + std::to_string(e.value);
                break;
            case StationEventKind::Sample:
                line = "sample " + std::to_string(e.value);
                break;
            case StationEventKind::StatisticsWritten:
                line = "written";
                break;
            case StationEventKind::StatisticsFailed:
                line = "failed: " + e.text;
                break;
        }
        Add(line);
    }
    void OnPass(const StationPass& pass) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lastPass = pass;
    }
    void OnRunStopped() override { Add("stopped"); }

    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::exchange(m_lines, {});
    }
    StationPass LastPass() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lastPass;
    }

private:
    void Add(std::string line) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::move(line));
    }
    std::mutex m_lock;
    std::vector<std::string> m_lines;
    StationPass m_lastPass;
};

class ObserverTest : public CCoreFixture {
protected:
    void SetUp() override {
        CCoreFixture::SetUp();
        CFakeVexlink::Get().SetAutoLinkUp(false);
        // Cards 1 and 2 sat-b, card 3 sat-c-tdm; MES IDs 111 and 222 watched.
        WriteConfig(CardSection("hostA", 11, "sat-b", "corax") +
                    CardSection("hostB", 22, "sat-b", "corax") +
                    CardSection("hostC", 33, "sat-c-tdm", "corax") +
                    "[watch]\nmesid = 111;\n[watch]\nmesid = 222;\n");
    }
    CFakeClock m_clock;
};

TEST_F(ObserverTest, EventOperationsTellWhatChangedAndWhy) {
    auto core = std::make_unique<COrvane>(4, 0, &m_clock);
    CRecorder recorder;
    core->AddObserver(&recorder);
    core->BeginRun();
    core->Tick();
    for (int card = 1; card <= 3; ++card) {
        core->SetCardStatus(card, STATUS_HOST_CONNECTED, 0, 0);
        core->StartCardMode(card);
    }
    recorder.Take();

    m_clock.Advance(1);
    ASSERT_TRUE(core->StartSession(1, 111, SERVICE_DATA));
    ASSERT_FALSE(core->StartSession(2, 333, SERVICE_DATA));  // not watched
    core->RejectSession(2);
    ASSERT_FALSE(core->StartSession(3, 111, SERVICE_FAX));  // card 1 holds it
    core->RejectSession(3);
    m_clock.Advance(7);
    core->EndSession(1);
    ASSERT_TRUE(core->StartSession(2, 222, SERVICE_FAX));
    m_clock.Advance(3);
    core->SetCardStatus(2, STATUS_NOT_CONNECTED, 0, 0);
    EXPECT_THAT(
        recorder.Take(),
        ElementsAre("status 1 3>4 reason 3", "followed 1 111", "refused 2 333 why 0 by 0 action 0",
                    "refused 3 111 why 1 by 1 action 1", "ended 1 111 after 7 cause 0", "busy 1 7",
                    "status 1 4>3 reason 4", "status 2 3>4 reason 3", "followed 2 222",
                    "ended 2 222 after 3 cause 1", "busy 2 3", "status 2 4>0 reason 1", "down 2"));

    core->Tick();  // the sample of the seconds that passed
    EXPECT_THAT(recorder.Take(), ElementsAre("sample 2"));
    core.reset();
    const std::vector<std::string> end = recorder.Take();
    ASSERT_EQ(end.size(), 2u);
    EXPECT_EQ(end[0], "written");
    EXPECT_EQ(end[1], "stopped");
}

TEST_F(ObserverTest, HostThatNeverListsItsCardIsToldOnceAfterThirtySeconds) {
    CRecorder recorder;  // observers outlive the core: its destructor tells them the run stopped
    COrvane core(0, 0, &m_clock);
    core.AddObserver(&recorder);
    core.SetCardStatus(3, STATUS_HOST_CONNECTED, 0, 0);
    recorder.Take();
    m_clock.AdvanceMs(NOT_LISTED_AFTER_MS - 1);
    core.Tick();
    EXPECT_THAT(recorder.Take(), ElementsAre());
    m_clock.AdvanceMs(1);
    core.Tick();
    core.Tick();
    EXPECT_THAT(recorder.Take(), ElementsAre("not-listed 3 after 30"));
}

TEST_F(ObserverTest, PassCarriesANewSnapshotOnlyAfterAChange) {
    CRecorder recorder;  // observers outlive the core: its destructor tells them the run stopped
    COrvane core(0, 0, &m_clock);
    core.AddObserver(&recorder);
    core.BeginRun();
    core.EndPass();
    const auto first = recorder.LastPass().snapshot;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->rows.size(), 3u);
    core.EndPass();
    EXPECT_EQ(recorder.LastPass().snapshot, first) << "nothing changed";

    core.SetCardStatus(2, STATUS_HOST_CONNECTED, 0, 0);
    core.EndPass();
    const auto second = recorder.LastPass().snapshot;
    EXPECT_GT(second->sequence, first->sequence);
    EXPECT_EQ(second->rows[1].status, STATUS_HOST_CONNECTED);
    EXPECT_EQ(second->counters[1].linkUps, 1);

    // Counters alone make a new snapshot only at their pace.
    core.CountMessage(2);
    core.EndPass();
    EXPECT_EQ(recorder.LastPass().snapshot, second);
    m_clock.AdvanceMs(COUNTER_SNAPSHOT_PACE_MS);
    core.EndPass();
    EXPECT_EQ(recorder.LastPass().snapshot->counters[1].messagesReceived, 1);
    EXPECT_EQ(recorder.LastPass().passes, 5u);
}

// An observer whose every call waits until the test lets it go.
class CGatedRecorder : public CRecorder {
public:
    void OnEvent(const StationEvent& e) override {
        while (!open.load()) {
            std::this_thread::yield();
        }
        CRecorder::OnEvent(e);
    }
    std::atomic<bool> open{false};
};

TEST(AsyncObserver, FullQueueDropsTheOldestEventsTellsOnceAndKeepsStartAndStop) {
    auto inner = std::make_unique<CGatedRecorder>();
    CGatedRecorder& recorder = *inner;
    int told = 0;
    CAsyncObserver::Options options;
    options.capacity = 3;
    options.onOverflow = [&told] { ++told; };
    CAsyncObserver async(std::move(inner), options);

    StationEvent event;
    event.kind = StationEventKind::Sample;
    async.OnRunStarted(StationInfo{});
    for (int i = 1; i <= 7; ++i) {
        event.value = i;
        async.OnEvent(event);  // the worker is held at the first of them
    }
    async.OnRunStopped();
    recorder.open = true;
    async.Drain();
    const std::vector<std::string> lines = recorder.Take();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "started 0 cards");
    EXPECT_EQ(lines.back(), "stopped");
    EXPECT_EQ(lines[lines.size() - 2], "sample 7") << "the newest events stay";
    EXPECT_EQ(async.Dropped() + lines.size(), 9u);
    EXPECT_GE(async.Dropped(), 3u);
    EXPECT_EQ(told, 1);
}

TEST(AsyncObserver, FilteredEventsNeverReachTheQueueAndPassesCoalesce) {
    auto inner = std::make_unique<CRecorder>();
    CRecorder& recorder = *inner;
    CAsyncObserver::Options options;
    options.filter = [](const StationEvent& e) { return e.kind == StationEventKind::Sample; };
    CAsyncObserver async(std::move(inner), options);
    StationEvent event;
    event.kind = StationEventKind::LinkUp;
    async.OnEvent(event);
    event.kind = StationEventKind::Sample;
    async.OnEvent(event);
    for (uint64_t pass = 1; pass <= 100; ++pass) {
        StationPass p;
        p.passes = pass;
        async.OnPass(p);
    }
    async.Drain();
    EXPECT_THAT(recorder.Take(), ElementsAre("sample 0"));
    EXPECT_EQ(recorder.LastPass().passes, 100u) << "the latest pass is the one delivered last";
}

// A record that fails or resumes is told once per change, after the pass
// that saw it, and the snapshot carries it until it is kept again.
TEST_F(ObserverTest, RecordFailuresAreToldOnceAndCarriedInTheSnapshot) {
    CRecorder recorder;
    CRecordHealth health;
    COrvane core(0, 0, &m_clock);
    core.AddObserver(&recorder);
    core.SetRecordHealth(&health);
    core.BeginRun();
    core.EndPass();
    health.Failing(StationRecord::History, 1700000000, "Can't write file h.");
    health.Failing(StationRecord::History, 1700000100, "Can't write file h.");
    core.EndPass();
    core.EndPass();
    ASSERT_EQ(recorder.LastPass().snapshot->recordTroubles.size(), 1u);
    EXPECT_EQ(recorder.LastPass().snapshot->recordTroubles[0].since, 1700000000);
    health.Resumed(StationRecord::History);
    core.EndPass();
    EXPECT_TRUE(recorder.LastPass().snapshot->recordTroubles.empty());
    EXPECT_THAT(
        recorder.Take(),
        ElementsAre("started 3 cards", "record-failing 1 Can't write file h.", "record-resumed 1"));
}

}  // namespace
