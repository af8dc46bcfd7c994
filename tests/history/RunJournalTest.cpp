#include "history/RunJournal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "core/CoreTestSupport.h"
#include "core/Monitor.h"
#include "history/DataFolderLock.h"
#include "support/FakeClock.h"

using namespace coretest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// 2023 Nov 15, 03:13:20 in the tests' time zone (UTC+5).
constexpr int64_t START_WALL = 1700000000;

const std::string JOURNAL_HEAD =
    "orvane-journal 1\n"
    "run 1700000000 30 4\n"
    "card 1 0 0 4711 host-a\n"
    "card 2 2 2 815 host-b\n";

class RunJournalTest : public CCoreFixture {
protected:
    void SetUp() override {
        CCoreFixture::SetUp();
        std::filesystem::create_directory(m_dataDir);
    }
    std::string JournalPath() const { return m_dataDir + "/" + JOURNAL_FILE_NAME; }
    void WriteJournal(const std::string& text) const {
        std::ofstream(JournalPath(), std::ios::binary) << text;
    }
};

TEST_F(RunJournalTest, RecoveryWritesTheRunsFileStampedWithItsLastEntry) {
    // Two samples, a busy time, and a last line torn by the crash.
    WriteJournal(JOURNAL_HEAD +
                 "sample 1700000004 1000000000\n"
                 "busy 1700000020 1 16\n"
                 "sample 1700000008 0100000000\n"
                 "sample 17000000");
    const RecoveryOutcome outcome = RecoverJournal(m_dataDir);
    const std::string path = m_dataDir + "/Stat2023_Nov_15_031340.txt";
    EXPECT_EQ(outcome.result, RecoveryResult::Recovered);
    EXPECT_EQ(outcome.message,
              "Recovered the statistics of the run started 2023 Nov 15, 03:13:20: " + path);
    EXPECT_EQ(ReadFile(path),
              "Start time: 2023 Nov 15, 03:13:20\r\n"
              "Stop  time: 2023 Nov 15, 03:13:40\r\n"
              "Total uptime: 0, 00:00:20\r\n"
              "\r\n"
              "#  Code Total sessiontime:  \r\n"
              " 1   B  0, 00:00:16 4711 host-a\r\n"
              " 2   mM 0, 00:00:00 815 host-b\r\n"
              "\r\n"
              "\r\n"
              "date/time             channels   B M m\r\n"
              "2023 Nov 15, 03:13:24 10         1 0 0 0\r\n"
              "2023 Nov 15, 03:13:28 01         0 0 1 0\r\n"
              "total counts: 2");
    EXPECT_THAT(ListFolder(m_dataDir), ElementsAre("Stat2023_Nov_15_031340.txt"));
}

TEST_F(RunJournalTest, JournalsWithNothingToRecoverAreRemovedSilently) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"the run wrote its file",
         JOURNAL_HEAD + "sample 1700000004 1000000000\n" + "end 1700000009 /somewhere/Stat.txt\n"},
        {"no sample", JOURNAL_HEAD + "busy 1700000020 1 16\n"},
        {"not a journal", "Start time: 2023 Nov 15\n"},
        {"cut before its run line", "orvane-journal 1\nru"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteJournal(c.text);
        const RecoveryOutcome outcome = RecoverJournal(m_dataDir);
        EXPECT_EQ(outcome.result, RecoveryResult::Removed);
        EXPECT_EQ(outcome.message, "");
        EXPECT_THAT(ListFolder(m_dataDir), IsEmpty());
    }
    EXPECT_EQ(RecoverJournal(m_dataDir).result, RecoveryResult::NoJournal);
}

TEST_F(RunJournalTest, RecoveryNeverReplacesAFileAndKeepsTheJournalAside) {
    WriteJournal(JOURNAL_HEAD + "sample 1700000004 1000000000\n");
    std::ofstream(m_dataDir + "/Stat2023_Nov_15_031324.txt") << "another run";
    const RecoveryOutcome outcome = RecoverJournal(m_dataDir);
    EXPECT_EQ(outcome.result, RecoveryResult::Failed);
    EXPECT_THAT(outcome.message, ::testing::HasSubstr("were not recovered"));
    EXPECT_EQ(ReadFile(m_dataDir + "/Stat2023_Nov_15_031324.txt"), "another run");
    EXPECT_THAT(ListFolder(m_dataDir),
                ElementsAre("OrvaneSystemDx.journal.1700000000", "Stat2023_Nov_15_031324.txt"));
}

// The core with the journal as its sample archive, driven in virtual time
// beside a core without one: memory stays at the window, and the statistics
// files of the two are the same, byte for byte.
TEST_F(RunJournalTest, MillionSamplesStayOnDiskAndGiveTheFileMemoryWould) {
    WriteConfig(CardSection("host-a", 4711, "sat-b", "corax") +
                CardSection("host-b", 815, "sat-c-tdm", "tarsa"));
    CFakeVexlink::Get().SetAutoLinkUp(false);
    CFakeClock clock(START_WALL);
    const std::string plainDir = m_dataRoot->Path() + "/plain";
    auto archived = std::make_unique<COrvane>(4, 0, &clock);
    SetDataDir(plainDir);
    auto plain = std::make_unique<COrvane>(4, 0, &clock);

    CRunJournal journal(JournalPath(), {});
    ASSERT_TRUE(journal.Open());
    archived->AddObserver(&journal);
    archived->SetSampleArchive(&journal);
    archived->BeginRun();

    constexpr int SAMPLES = 1000000;
    size_t mostKept = 0;
    for (int i = 0; i < SAMPLES; ++i) {
        if (i % 5000 == 0) {
            // Sessions come and go, so that the busy flags and times vary.
            const bool busy = i % 10000 == 0;
            for (COrvane* core : {archived.get(), plain.get()}) {
                if (busy) {
                    core->StartSession(1 + i % 2, 100 + i, SERVICE_DATA);
                } else {
                    core->EndSession(1);
                    core->EndSession(2);
                }
            }
        }
        archived->Tick();
        plain->Tick();
        clock.Advance(4);
        if (i % 10000 == 9999) {
            journal.Flush();
        }
        mostKept = std::max(mostKept, archived->GetSamples().size());
    }
    journal.Flush();
    EXPECT_EQ(archived->SamplesTaken(), static_cast<uint64_t>(SAMPLES));
    EXPECT_EQ(plain->GetSamples().size(), static_cast<size_t>(SAMPLES));
    EXPECT_LE(mostKept, SAMPLE_WINDOW + 10000) << "only what the journal does not hold yet";

    archived.reset();
    plain.reset();
    const std::vector<std::string> files = ListFolder(plainDir);
    ASSERT_EQ(files.size(), 1u);
    const std::string expected = ReadFile(plainDir + "/" + files[0]);
    EXPECT_EQ(expected.size(), ReadFile(m_dataDir + "/" + files[0]).size());
    EXPECT_TRUE(expected == ReadFile(m_dataDir + "/" + files[0]));
    EXPECT_THAT(ListFolder(m_dataDir), ElementsAre(files[0]))
        << "the journal goes once the file is written";
}

// A file size limit stops the journal part way: the user is told once, the
// core keeps what the journal could not take, and the file is complete.
TEST_F(RunJournalTest, JournalThatCannotWriteIsReportedOnceAndNothingIsLost) {
    CFakeClock clock(START_WALL);
    auto core = std::make_unique<COrvane>(4, 0, &clock);
    std::vector<std::string> reports;
    CRunJournal journal(JournalPath(),
                        [&reports](const std::string& text) { reports.push_back(text); });
    ASSERT_TRUE(journal.Open());
    core->AddObserver(&journal);
    core->SetSampleArchive(&journal);
    core->BeginRun();

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const sighandler_t previous = std::signal(SIGXFSZ, SIG_IGN);
    for (int i = 0; i < 300; ++i) {
        if (i == 100) {
            rlimit tiny = old;
            tiny.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(JournalPath()));
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        }
        core->Tick();
        clock.Advance(4);
        journal.Flush();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_THAT(reports, ElementsAre("Can't write file " + JournalPath() + "."));
    EXPECT_EQ(journal.DurableSamples(), 100u);
    EXPECT_EQ(core->SamplesTaken(), 300u);
    EXPECT_GE(core->GetSamples().size(), 200u) << "what the journal lost stays in memory";
    core.reset();
    const std::vector<std::string> names = ListFolder(m_dataDir);
    ASSERT_EQ(names.size(), 2u) << "the statistics file, and the journal for a later recovery";
    EXPECT_THAT(ReadFile(m_dataDir + "/" + names[1]), ::testing::EndsWith("total counts: 300"));
}

TEST_F(RunJournalTest, SecondHolderOfTheDataFolderIsToldTheFirstsProcessId) {
    CDataFolderLock first;
    CDataFolderLock second;
    EXPECT_EQ(first.Acquire(m_dataDir), CDataFolderLock::Result::Held);
    EXPECT_EQ(second.Acquire(m_dataDir), CDataFolderLock::Result::HeldByOther);
    EXPECT_EQ(second.Holder(), ::getpid());
    CDataFolderLock nowhere;
    EXPECT_EQ(nowhere.Acquire(m_dataDir + "/missing"), CDataFolderLock::Result::Unavailable);
}

}  // namespace
