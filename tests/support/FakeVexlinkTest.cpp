// The card library's test double itself: fired notes journaled and read inside OnNotify on its
// thread, and an unreachable host noted as refused without a link.
#include "support/FakeVexlink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;

// Records the note read inside each OnNotify and the thread it came on.
class CNoteSink : public CVexlinkSink {
public:
    CVexlinkInstance* instance = nullptr;

    void OnMessage(const char*, uint32_t) override {}
    void OnLinkUp() override { Record("up"); }
    void OnLinkDown() override { Record("down"); }
    void OnNotify() override {
        Record("notify " + std::to_string(VexlinkLastNote(instance)));
        std::lock_guard lock(m_lock);
        m_threads.push_back(std::this_thread::get_id());
    }

    std::vector<std::string> Calls() const {
        std::lock_guard lock(m_lock);
        return m_calls;
    }
    std::vector<std::thread::id> NoteThreads() const {
        std::lock_guard lock(m_lock);
        return m_threads;
    }

private:
    void Record(const std::string& call) {
        std::lock_guard lock(m_lock);
        m_calls.push_back(call);
    }
    mutable std::mutex m_lock;
    std::vector<std::string> m_calls;
    std::vector<std::thread::id> m_threads;
};

class FakeVexlinkTest : public testing::Test {
protected:
    void SetUp() override { CFakeVexlink::Get().Reset(); }
    void TearDown() override { CFakeVexlink::Get().Reset(); }

    CVexlinkInstance* Create(CNoteSink& sink) {
        sink.instance = CreateVexlinkInstance(&sink, "", "", nullptr);
        return sink.instance;
    }
};

TEST_F(FakeVexlinkTest, FiredNotesAreJournaledAndReadInsideOnNotifyOnTheDoublesThread) {
    CFakeVexlink& fake = CFakeVexlink::Get();
    CNoteSink sink;
    CVexlinkInstance* instance = Create(sink);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(VexlinkLastNote(instance), VEXLINK_NOTE_NONE);

    instance->Connect("host", "33254");
    fake.FireNote(1, VEXLINK_NOTE_SILENT);
    fake.FireLinkDown(1);
    fake.WaitIdle();
    EXPECT_THAT(sink.Calls(), ElementsAre("up", "notify 6", "down"));
    EXPECT_THAT(fake.JournalOf(1),
                ElementsAre("create", "connect host 33254", "up", "notify 6", "down"));
    EXPECT_EQ(VexlinkLastNote(instance), VEXLINK_NOTE_SILENT);
    EXPECT_EQ(VexlinkLastNote(nullptr), VEXLINK_NOTE_NONE);
    ASSERT_EQ(sink.NoteThreads().size(), 1u);
    EXPECT_NE(sink.NoteThreads()[0], std::this_thread::get_id());

    instance->Release();
    fake.FireNote(1, VEXLINK_NOTE_FAILED);  // a released object hears nothing
    fake.WaitIdle();
    EXPECT_EQ(sink.Calls().size(), 3u);
}

TEST_F(FakeVexlinkTest, UnreachableHostIsNotedAsRefusedWithoutALink) {
    CFakeVexlink& fake = CFakeVexlink::Get();
    fake.SetUnreachableHost("gone", true);
    CNoteSink sink;
    CVexlinkInstance* instance = Create(sink);
    instance->Connect("gone", "33254");
    fake.WaitIdle();
    EXPECT_THAT(sink.Calls(), ElementsAre("notify 1"));
    EXPECT_THAT(fake.JournalOf(1), ElementsAre("create", "connect gone 33254", "notify 1"));
    instance->Release();
}

}  // namespace
