// What the core tells its observers (each change with its reason, a host that never lists its card,
// snapshots after changes only, record troubles), and the asynchronous observer's drops, flushes
// and filter.
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
    size_t Size() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines.size();
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
    auto core = std::make_unique<COrvane>(ReadStationConfig(4, 0), &m_clock);
    CRecorder recorder;
    core->AddObserver(&recorder);
    core->BeginRun();
    core->Tick();
    for (int card = 1; card <= 3; ++card) {
        core->SetCardStatus(card, STATUS_HOST_CONNECTED, 0, 0);
        core->StartCardMode(card);
    }
    for (int pass = 0; pass < 2; ++pass) {  // the setups' commands go out
        m_clock.AdvanceMs(MODE_SETUP_PAUSE_MS);
        core->Tick();
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
    COrvane core(ReadStationConfig(0, 0), &m_clock);
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
    COrvane core(ReadStationConfig(0, 0), &m_clock);
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

// An observer whose every call waits until the test lets it go. A pass holds
// the worker inside it, so that what comes next stays in the queue; each
// Flush notes how many lines came before it.
class CGatedRecorder : public CRecorder {
public:
    void OnEvent(const StationEvent& e) override {
        Hold();
        CRecorder::OnEvent(e);
    }
    void OnPass(const StationPass& pass) override {
        inPass = true;
        Hold();
        CRecorder::OnPass(pass);
    }
    void Flush() override { flushedAt.push_back(Size()); }
    // Hands the worker a pass and waits until it is held inside it.
    void HoldWorker(CAsyncObserver& async) {
        async.OnPass(StationPass{});
        while (!inPass.load()) {
            std::this_thread::yield();
        }
    }
    std::atomic<bool> open{false};
    std::atomic<bool> inPass{false};
    std::vector<size_t> flushedAt;  // the worker's; read after Drain

private:
    void Hold() {
        while (!open.load()) {
            std::this_thread::yield();
        }
    }
};

TEST(AsyncObserver, FullQueueDropsTheOldestEventsTellsOnceAndKeepsStartAndStop) {
    auto inner = std::make_unique<CGatedRecorder>();
    CGatedRecorder& recorder = *inner;
    int told = 0;
    CAsyncObserver::Options options;
    options.capacity = 3;
    options.onOverflow = [&told] { ++told; };
    CAsyncObserver async(std::move(inner), options);
    recorder.HoldWorker(async);

    StationEvent event;
    event.kind = StationEventKind::Sample;
    async.OnRunStarted(StationInfo{});
    for (int i = 1; i <= 7; ++i) {
        event.value = i;
        async.OnEvent(event);  // queued behind the held pass
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
    // The start takes a place of its own: two events stay.
    EXPECT_THAT(lines, ElementsAre("started 0 cards", "sample 6", "sample 7", "stopped"));
}

// Calls: 0 a run's start, -1 its stop, n > 0 the sample event n.
TEST(AsyncObserver, EachCapacityKeepsTheNewestEventsAndEveryStartAndStop) {
    const struct {
        size_t capacity;
        std::vector<int> calls;
        std::vector<std::string> lines;
        uint64_t dropped;
    } cases[] = {
        {5,
         {0, 1, 2, 3, -1},
         {"started 0 cards", "sample 1", "sample 2", "sample 3", "stopped"},
         0},
        {4,
         {0, 1, 2, 3, 4, -1},
         {"started 0 cards", "sample 2", "sample 3", "sample 4", "stopped"},
         1},
        {2, {0, 1, 2, 3, -1}, {"started 0 cards", "sample 3", "stopped"}, 2},
        // A full queue of a stop and a start: both stay, the events make room.
        {3,
         {0, 1, -1, 0, 2, 3, -1},
         {"started 0 cards", "stopped", "started 0 cards", "sample 3", "stopped"},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity));
        auto inner = std::make_unique<CGatedRecorder>();
        CGatedRecorder& recorder = *inner;
        CAsyncObserver::Options options;
        options.capacity = c.capacity;
        CAsyncObserver async(std::move(inner), options);
        recorder.HoldWorker(async);
        for (const int call : c.calls) {
            StationEvent event;
            event.kind = StationEventKind::Sample;
            event.value = call;
            if (call == 0) {
                async.OnRunStarted(StationInfo{});
            } else if (call < 0) {
                async.OnRunStopped();
            } else {
                async.OnEvent(event);
            }
        }
        recorder.open = true;
        async.Drain();
        EXPECT_EQ(recorder.Take(), c.lines);
        EXPECT_EQ(async.Dropped(), c.dropped);
    }
}

// The inner observer flushes after every `flushEvery` calls while the queue
// never empties, and once it is empty: a pass, then a start, four events and
// a stop, queued at once.
TEST(AsyncObserver, FlushesEveryBatchOfCallsAndWhenTheQueueEmpties) {
    const struct {
        size_t flushEvery;
        std::vector<size_t> flushedAt;  // lines before each Flush
    } cases[] = {{1, {0, 1, 2, 3, 4, 5, 6}}, {2, {1, 3, 5, 6}}, {3, {2, 5, 6}}, {100, {6}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("every " + std::to_string(c.flushEvery));
        auto inner = std::make_unique<CGatedRecorder>();
        CGatedRecorder& recorder = *inner;
        CAsyncObserver::Options options;
        options.flushEvery = c.flushEvery;
        CAsyncObserver async(std::move(inner), options);
        recorder.HoldWorker(async);
        async.OnRunStarted(StationInfo{});
        StationEvent event;
        event.kind = StationEventKind::Sample;
        for (int i = 0; i < 4; ++i) {
            async.OnEvent(event);
        }
        async.OnRunStopped();
        recorder.open = true;
        async.Drain();
        EXPECT_EQ(recorder.flushedAt, c.flushedAt);
    }
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
    COrvane core(ReadStationConfig(0, 0), &m_clock);
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
