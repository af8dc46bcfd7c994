// The run journal and the data folder's lock: recovery of runs that did not end, damaged and
// useless journals, a journal that resumes or cannot write, a million samples on disk, a second
// station refused.
#include "history/RunJournal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

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
    // The name an older station gave its one journal; still recovered.
    std::string JournalPath() const { return m_dataDir + "/" + JOURNAL_FILE_NAME; }
    void WriteJournal(const std::string& text) const {
        std::ofstream(JournalPath(), std::ios::binary) << text;
    }
    RecoveryOutcome RecoverOne() const {
        const std::vector<RecoveryOutcome> outcomes = RecoverJournals(m_dataDir);
        EXPECT_EQ(outcomes.size(), 1u);
        return outcomes.empty() ? RecoveryOutcome() : outcomes.front();
    }
};

TEST_F(RunJournalTest, RecoveryWritesTheRunsFileStampedWithItsLastEntry) {
    // Two samples, a busy time, and a last line torn by the crash.
    WriteJournal(JOURNAL_HEAD +
                 "sample 1700000004 1000000000\n"
                 "busy 1700000020 1 16\n"
                 "sample 1700000008 0100000000\n"
                 "sample 17000000");
    const RecoveryOutcome outcome = RecoverOne();
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
        {"the run wrote its file", JOURNAL_HEAD + "sample 1700000004 1000000000\n" +
                                       "end 1700000009 " + m_dataDir + "/written.txt\n"},
        {"no sample", JOURNAL_HEAD + "busy 1700000020 1 16\n"},
        {"cut before its run line", "orvane-journal 1\nru"},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(m_dataDir + "/written.txt") << "its file";
        WriteJournal(c.text);
        const RecoveryOutcome outcome = RecoverOne();
        EXPECT_EQ(outcome.result, RecoveryResult::Removed);
        EXPECT_EQ(outcome.message, "");
        EXPECT_THAT(ListFolder(m_dataDir), ElementsAre("written.txt"));
    }
    EXPECT_THAT(RecoverJournals(m_dataDir), IsEmpty());
}

TEST_F(RunJournalTest, RecoveryNeverReplacesAFileButTakesTheNextFreeSecond) {
    WriteJournal(JOURNAL_HEAD + "sample 1700000004 1000000000\n");
    std::ofstream(m_dataDir + "/Stat2023_Nov_15_031324.txt") << "another run";
    std::filesystem::create_directory(m_dataDir + "/Stat2023_Nov_15_031325.txt");
    const RecoveryOutcome outcome = RecoverOne();
    EXPECT_EQ(outcome.result, RecoveryResult::Recovered);
    EXPECT_EQ(ReadFile(m_dataDir + "/Stat2023_Nov_15_031324.txt"), "another run");
    EXPECT_THAT(ReadFile(m_dataDir + "/Stat2023_Nov_15_031326.txt"),
                ::testing::HasSubstr("Stop  time: 2023 Nov 15, 03:13:24\r\n"))
        << "the name moves on, the times stay";
    EXPECT_THAT(ListFolder(m_dataDir),
                ElementsAre("Stat2023_Nov_15_031324.txt", "Stat2023_Nov_15_031325.txt",
                            "Stat2023_Nov_15_031326.txt"));

    // The same journal again (a recovery cut short) finds its file past both.
    WriteJournal(JOURNAL_HEAD + "sample 1700000004 1000000000\n");
    EXPECT_EQ(RecoverOne().result, RecoveryResult::Removed);
    EXPECT_EQ(ListFolder(m_dataDir).size(), 3u);
}

// A damaged journal gives every line it still holds; each case keeps two of
// its samples. Stop times come from the steady seconds into the run where
// the journal has them, so a wall clock set forward does not stretch the run.
TEST_F(RunJournalTest, DamagedJournalsGiveEverySampleTheyStillHold) {
    const std::string two = "sample 1700000004 1000000000 4\nsample 1700000008 0100000000 8\n";
    const struct {
        const char* name;
        std::string text;
        const char* start;
        const char* stop;
    } cases[] = {
        {"header cut", "rvane-journal 1\nrun 1700000000 30 4\ncard 1 0 0 4711 host-a\n" + two,
         "03:13:20", "03:13:28"},
        {"CR line ends",
         "orvane-journal 1\r\nrun 1700000000 30 4\r\ncard 1 0 0 4711 host-a\r\n" + two, "03:13:20",
         "03:13:28"},
        {"run line damaged",
         "orvane-journal 1\nrun 17000x0000 30 4\ncard 1 0 0 4711 host-a\n" + two, "03:13:24",
         "03:13:28"},
        {"a sample damaged", JOURNAL_HEAD + two + "sample 1700000012 01x0000000 12\n", "03:13:20",
         "03:13:28"},
        {"binary and an endless line in between",
         JOURNAL_HEAD + "sample 1700000004 1000000000 4\n" + std::string("\0\x7f\xff\n", 4) +
             std::string(100000, 'z') + "\nsample 1700000008 0100000000 8\n",
         "03:13:20", "03:13:28"},
        {"wall clock set forward 5 h",
         JOURNAL_HEAD + "sample 1700000004 1000000000 4\nsample 1700018008 0100000000 8\n",
         "03:13:20", "03:13:28"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_dataDir);
        std::filesystem::create_directory(m_dataDir);
        WriteJournal(c.text);
        const RecoveryOutcome outcome = RecoverOne();
        ASSERT_EQ(outcome.result, RecoveryResult::Recovered) << outcome.message;
        const std::string text = ReadFile(outcome.path);
        EXPECT_THAT(text, ::testing::StartsWith(std::string("Start time: 2023 Nov 15, ") + c.start +
                                                "\r\nStop  time: 2023 Nov 15, " + c.stop + "\r\n"));
        EXPECT_THAT(text, ::testing::EndsWith("total counts: 2"));
        EXPECT_THAT(text, ::testing::HasSubstr(" 1   B  0, 00:00:00 4711 host-a\r\n"));
        EXPECT_THAT(ListFolder(m_dataDir), ElementsAre(::testing::StartsWith("Stat2023_Nov_15_")));
    }
}

// What holds nothing readable is set aside under a name that says so, told
// once, never removed; a FIFO is not waited on, a link not followed.
TEST_F(RunJournalTest, JournalsThatYieldNothingAreSetAsideAndToldOnce) {
    const std::string target = m_dataRoot->Path() + "/precious";
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
    } cases[] = {
        {"not a journal", [](const std::string& p) { std::ofstream(p) << "Start time: 2023\n"; }},
        {"binary",
         [](const std::string& p) { std::ofstream(p) << std::string("\x01\0\n\xfe", 4); }},
        {"zeros, no line end",
         [](const std::string& p) { std::ofstream(p) << std::string(10000, '\0'); }},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
        {"a link",
         [&target](const std::string& p) {
             std::ofstream(target) << "orvane-journal 1\nrun 1700000000 30 4\nsample 1700000004 "
                                      "1000000000\n";
             std::filesystem::create_symlink(target, p);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_dataDir);
        std::filesystem::create_directory(m_dataDir);
        const std::string path = m_dataDir + "/" + JournalFileName(START_WALL, 1);
        c.make(path);
        const RecoveryOutcome outcome = RecoverOne();
        EXPECT_EQ(outcome.result, RecoveryResult::SetAside);
        EXPECT_THAT(outcome.message, ::testing::HasSubstr("set aside as " + path + ".unreadable"));
        EXPECT_THAT(ListFolder(m_dataDir),
                    ElementsAre(JournalFileName(START_WALL, 1) + ".unreadable"));
        EXPECT_THAT(RecoverJournals(m_dataDir), IsEmpty()) << "told once";
    }
    EXPECT_THAT(ReadFile(target), ::testing::StartsWith("orvane-journal 1\n")) << "untouched";
}

// Every journal waiting is tried at every start, the older station's too; one
// whose file cannot be written stays, and the next start recovers it.
TEST_F(RunJournalTest, EveryJournalIsRecoveredAndAFailedOneWaitsForTheNextStart) {
    int64_t sampleTime = 1700000004;
    for (const std::string& name :
         {std::string(JOURNAL_FILE_NAME) + ".1699999000", JournalFileName(1700000100, 1),
          JournalFileName(1700000100, 2)}) {
        std::ofstream(m_dataDir + "/" + name)
            << JOURNAL_HEAD << "sample " << sampleTime << " 1000000000\n";
        sampleTime += 100;
    }
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const sighandler_t previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const std::vector<RecoveryOutcome> full = RecoverJournals(m_dataDir);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    ASSERT_EQ(full.size(), 3u);
    for (const RecoveryOutcome& outcome : full) {
        EXPECT_EQ(outcome.result, RecoveryResult::Failed);
        EXPECT_THAT(outcome.message,
                    ::testing::HasSubstr("could not be recovered: Can't write file"));
        EXPECT_THAT(outcome.message,
                    ::testing::EndsWith(outcome.journal + " stays for the next start."));
    }
    EXPECT_EQ(ListFolder(m_dataDir).size(), 3u) << "no journal lost, no file half made";

    const std::vector<RecoveryOutcome> next = RecoverJournals(m_dataDir);
    ASSERT_EQ(next.size(), 3u);
    for (const RecoveryOutcome& outcome : next) {
        EXPECT_EQ(outcome.result, RecoveryResult::Recovered);
    }
    EXPECT_THAT(ListFolder(m_dataDir),
                ElementsAre("Stat2023_Nov_15_031324.txt", "Stat2023_Nov_15_031504.txt",
                            "Stat2023_Nov_15_031644.txt"));

    // A recovery cut short between its file and the journal's removal, and
    // an older station's journal kept aside beside the file it had made
    // already: the run has its file, and gets no second one.
    std::ofstream(m_dataDir + "/" + JournalFileName(1700000100, 1))
        << JOURNAL_HEAD << "sample 1700000104 1000000000\n";
    const std::vector<RecoveryOutcome> again = RecoverJournals(m_dataDir);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].result, RecoveryResult::Removed);
    EXPECT_EQ(ListFolder(m_dataDir).size(), 3u);
}

// A run never writes where another run's journal lies, and a journal that
// cannot be made or written at first is made and written in full later.
TEST_F(RunJournalTest, JournalIsNewForItsRunAndResumesWithEverythingItMissed) {
    std::ofstream(m_dataDir + "/" + JournalFileName(START_WALL, 1)) << "another run's";
    const std::string blocked = m_dataRoot->Path() + "/later";
    std::ofstream(blocked) << "a plain file where the folder should be";
    CRecordHealth health;
    std::vector<std::string> reports;
    CRunJournal journal(
        blocked, START_WALL, [&reports](const std::string& text) { reports.push_back(text); },
        &health, CRunJournal::Options{0});
    EXPECT_FALSE(journal.Open());
    StationInfo info;
    info.startTime = START_WALL;
    journal.OnRunStarted(info);
    StationEvent sample;
    sample.kind = StationEventKind::Sample;
    sample.sample.time = START_WALL + 4;
    for (int i = 0; i < 3; ++i) {
        journal.OnEvent(sample);
        journal.Flush();
    }
    EXPECT_THAT(reports, ElementsAre("Can't create file " + blocked + "/" +
                                     JournalFileName(START_WALL, 1) + "."));
    ASSERT_EQ(health.Troubles().size(), 1u);
    EXPECT_EQ(journal.DurableSamples(), 0u);

    std::filesystem::remove(blocked);
    journal.Flush();
    EXPECT_THAT(health.Troubles(), IsEmpty());
    EXPECT_EQ(journal.DurableSamples(), 3u);
    EXPECT_EQ(ReadJournal(journal.Path()).samples, 3u);
    EXPECT_TRUE(ReadJournal(journal.Path()).hasRun);

    CRunJournal second(m_dataDir, START_WALL, {});
    EXPECT_TRUE(second.Open());
    EXPECT_EQ(second.Path(), m_dataDir + "/" + JournalFileName(START_WALL, 2));
    EXPECT_EQ(ReadFile(m_dataDir + "/" + JournalFileName(START_WALL, 1)), "another run's");
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
    auto archived = std::make_unique<COrvane>(ReadStationConfig(4, 0), &clock);
    SetDataDir(plainDir);
    auto plain = std::make_unique<COrvane>(ReadStationConfig(4, 0), &clock);

    CRunJournal journal(m_dataDir, START_WALL, {});
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
    auto core = std::make_unique<COrvane>(ReadStationConfig(4, 0), &clock);
    std::vector<std::string> reports;
    CRunJournal journal(m_dataDir, START_WALL,
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
            tiny.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(journal.Path()));
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        }
        core->Tick();
        clock.Advance(4);
        journal.Flush();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_THAT(reports, ElementsAre("Can't write file " + journal.Path() + "."));
    EXPECT_EQ(journal.DurableSamples(), 100u);
    EXPECT_EQ(core->SamplesTaken(), 300u);
    EXPECT_GE(core->GetSamples().size(), 200u) << "what the journal lost stays in memory";
    core.reset();
    // The file is complete from memory, so the journal goes with it: kept,
    // it would give the run a second, shorter file at the next start.
    const std::vector<std::string> names = ListFolder(m_dataDir);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_THAT(ReadFile(m_dataDir + "/" + names[0]), ::testing::EndsWith("total counts: 300"));
}

TEST_F(RunJournalTest, SecondHolderOfTheDataFolderIsToldTheFirstsProcessId) {
    CDataFolderLock first;
    CDataFolderLock second;
    EXPECT_EQ(first.Acquire(m_dataDir), CDataFolderLock::Result::Held);
    EXPECT_EQ(second.Acquire(m_dataDir), CDataFolderLock::Result::HeldByOther);
    EXPECT_EQ(second.Holder(), ::getpid());
    CDataFolderLock nowhere;
    EXPECT_EQ(nowhere.Acquire(m_dataDir + "/missing"), CDataFolderLock::Result::Unavailable);
    EXPECT_EQ(nowhere.Why(), "No such file or directory");
}

// The lock is the folder's own: whatever stands at the lock file's name, a
// second holder is refused, and nothing is written through a link there.
TEST_F(RunJournalTest, LockHoldsWhateverStandsAtTheLockFilesName) {
    const std::string lockFile = m_dataDir + "/" + LOCK_FILE_NAME;
    const std::string target = m_dataRoot->Path() + "/target";
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"a folder", [&] { std::filesystem::create_directory(lockFile); }},
        {"a link",
         [&] {
             std::ofstream(target) << "keep";
             std::filesystem::create_symlink(target, lockFile);
         }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(lockFile.c_str(), 0644), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(lockFile);
        c.make();
        CDataFolderLock first;
        CDataFolderLock second;
        EXPECT_EQ(first.Acquire(m_dataDir), CDataFolderLock::Result::Held);
        EXPECT_EQ(second.Acquire(m_dataDir), CDataFolderLock::Result::HeldByOther);
    }
    EXPECT_EQ(ReadFile(target), "keep");
}

}  // namespace
