// The statistics file: a scripted run byte for byte, busy counts by mode, a run without cards or
// samples, a wall clock set back, a name already taken, each failure reported, and Exit writing it
// once.
#include "core/Monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "core/CoreTestSupport.h"
#include "support/FakeClock.h"

using namespace coretest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// 2023 Nov 15, 03:13:20 in the tests' time zone (UTC+5).
constexpr int64_t START_WALL = 1700000000;

class StatisticsTest : public CCoreFixture {
protected:
    void SetUp() override {
        CCoreFixture::SetUp();
        WriteConfig("");  // no cards, and no message from the reader
    }
    std::unique_ptr<COrvane> MakeCore(int32_t logInterval) {
        return std::make_unique<COrvane>(ReadStationConfig(logInterval, 0), &m_clock);
    }
    // Runs a core without cards that takes one sample at start and stops
    // `seconds` later; returns the path its statistics file should have.
    std::string RunOneSample(int64_t seconds, const std::string& stamp) {
        auto core = MakeCore(4);
        core->Tick();
        m_clock.Advance(seconds);
        core.reset();
        return m_dataDir + "/Stat" + stamp + ".txt";
    }

    CFakeClock m_clock{START_WALL};
};

TEST_F(StatisticsTest, ScriptedRunWritesTheWholeFileByteForByte) {
    WriteConfig(CardSection("pc-host", 100123, "sat-b", "corax") +
                CardSection("pc-host", 100124, "sat-mini-m", "corax") +
                CardSection("10.0.0.7", 7, "sat-c-tdm", "tarsa") +
                CardSection("10.0.0.8", 4242, "sat-m", "corax-e") + "[log]\nperiod = 3000;\n");
    auto core = MakeCore(0);
    core->Tick();  // 40 s back-dating is short of 3000: no sample yet
    ASSERT_TRUE(core->StartSession(1, 1111, SERVICE_TELEPHONE));
    ASSERT_TRUE(core->StartSession(3, 3333, SERVICE_DATA));
    m_clock.Advance(2960);
    core->Tick();
    m_clock.Advance(763);
    core->EndSession(1);  // 3723 s: 0, 01:02:03
    ASSERT_TRUE(core->StartSession(4, 4444, SERVICE_FAX));
    core->Tick();
    m_clock.Advance(2237);
    core->Tick();
    m_clock.Advance(86400);
    core->EndSession(4);  // 88637 s: 1, 00:37:17
    core->Tick();
    core.reset();  // card 3's session is still open: it does not count

    const std::string path = m_dataDir + "/Stat2023_Nov_16_045240.txt";
    EXPECT_THAT(ListFolder(m_dataDir), ElementsAre("Stat2023_Nov_16_045240.txt"));
    EXPECT_EQ(ReadFile(path),
              "Start time: 2023 Nov 15, 03:13:20\r\n"
              "Stop  time: 2023 Nov 16, 04:52:40\r\n"
              "Total uptime: 1, 01:39:20\r\n"
              "\r\n"
              "#  Code Total sessiontime:  \r\n"
              " 1   B  0, 01:02:03 100123 pc-host\r\n"
              " 2   mM 0, 00:00:00 100124 pc-host\r\n"
              " 3   C 0, 00:00:00 7 10.0.0.7\r\n"
              " 4   M  1, 00:37:17 4242 10.0.0.8\r\n"
              "\r\n"
              "\r\n"
              "date/time             channels   B M m\r\n"
              "2023 Nov 15, 04:02:40 1010       1 0 0 1\r\n"
              "2023 Nov 15, 04:52:40 0011       0 1 0 1\r\n"
              "2023 Nov 16, 04:52:40 0010       0 0 0 1\r\n"
              "total counts: 3");
    EXPECT_THAT(Messages(), IsEmpty());
}

TEST_F(StatisticsTest, BusyCardsOfOneModeAddUp) {
    WriteConfig(CardSection("h", 1, "sat-b", "corax") + CardSection("h", 2, "sat-b", "corax") +
                CardSection("h", 3, "sat-b", "corax") + CardSection("h", 4, "sat-mini-m", "corax"));
    auto core = MakeCore(4);
    for (int32_t card = 1; card <= 3; ++card) {
        ASSERT_TRUE(core->StartSession(card, card, SERVICE_DATA));
    }
    core->Tick();
    core.reset();
    EXPECT_THAT(
        ReadFile(m_dataDir + "/Stat2023_Nov_15_031320.txt"),
        ::testing::EndsWith("\r\n2023 Nov 15, 03:13:20 1110       3 0 0 0\r\ntotal counts: 1"));
}

TEST_F(StatisticsTest, RunWithoutCardsWritesHeaderAndEmptyChannels) {
    const std::string path = RunOneSample(90000, "2023_Nov_16_041320");  // 25 hours
    EXPECT_EQ(ReadFile(path),
              "Start time: 2023 Nov 15, 03:13:20\r\n"
              "Stop  time: 2023 Nov 16, 04:13:20\r\n"
              "Total uptime: 1, 01:00:00\r\n"
              "\r\n"
              "#  Code Total sessiontime:  \r\n"
              "\r\n"
              "\r\n"
              "date/time             channels   B M m\r\n"
              "2023 Nov 15, 03:13:20            0 0 0 0\r\n"
              "total counts: 1");
}

TEST_F(StatisticsTest, WallClockSetBackBeforeTheStartGivesAZeroUptime) {
    auto core = MakeCore(4);
    core->Tick();
    m_clock.SetWall(START_WALL - 3620);  // 02:13:00
    core.reset();
    const std::string text = ReadFile(m_dataDir + "/Stat2023_Nov_15_021300.txt");
    EXPECT_EQ(text.rfind("Start time: 2023 Nov 15, 03:13:20\r\n"
                         "Stop  time: 2023 Nov 15, 02:13:00\r\n"
                         "Total uptime: 0, 00:00:00\r\n",
                         0),
              0u)
        << text;
}

TEST_F(StatisticsTest, NoSamplesNoFolderNoFileNoMessage) {
    auto core = MakeCore(0);
    for (int i = 0; i < 5; ++i) {
        core->Tick();
        m_clock.Advance(100);
    }
    core.reset();
    EXPECT_FALSE(std::filesystem::exists(m_dataDir));
    EXPECT_THAT(Messages(), IsEmpty());
}

// A run that stops within the same second as another never replaces its
// file, nor writes through what stands at the name: it takes the next free
// second for its name, its own times unchanged.
TEST_F(StatisticsTest, ExistingFolderIsUsedAndANameTakenMovesToTheNextFreeSecond) {
    std::filesystem::create_directory(m_dataDir);
    const std::string target = m_dataRoot->Path() + "/target";
    std::ofstream(target) << "keep";
    std::ofstream(m_dataDir + "/Stat2023_Nov_15_031330.txt") << std::string(5000, 'x');
    std::filesystem::create_symlink(target, m_dataDir + "/Stat2023_Nov_15_031331.txt");
    std::filesystem::create_directories(m_dataDir + "/Stat2023_Nov_15_031332.txt/inside");
    RunOneSample(10, "2023_Nov_15_031333");
    const std::string text = ReadFile(m_dataDir + "/Stat2023_Nov_15_031333.txt");
    EXPECT_EQ(
        text.rfind("Start time: 2023 Nov 15, 03:13:20\r\nStop  time: 2023 Nov 15, 03:13:30\r\n", 0),
        0u);
    EXPECT_EQ(ReadFile(m_dataDir + "/Stat2023_Nov_15_031330.txt"), std::string(5000, 'x'));
    EXPECT_EQ(ReadFile(target), "keep");
    EXPECT_THAT(ListFolder(m_dataDir),
                ElementsAre("Stat2023_Nov_15_031330.txt", "Stat2023_Nov_15_031331.txt",
                            "Stat2023_Nov_15_031332.txt", "Stat2023_Nov_15_031333.txt"));
}

TEST_F(StatisticsTest, FolderThatCannotBeCreatedIsReported) {
    struct Case {
        std::string dataDir;
    };
    const Case cases[] = {{m_dataRoot->Path() + "/missing/Data"}, {""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataDir);
        SetDataDir(c.dataDir);
        CMessageRecorder recorder;
        RunOneSample(10, "unused");
        EXPECT_THAT(recorder.Messages(), ElementsAre("Can't create directory " + c.dataDir + "."));
    }
    EXPECT_THAT(ListFolder(m_dataRoot->Path()), IsEmpty());
}

TEST_F(StatisticsTest, FileThatCannotBeCreatedIsReported) {
    // The data "folder" is a plain file: the folder exists, nothing goes in it.
    { std::ofstream plain(m_dataDir); }
    CMessageRecorder recorder;
    RunOneSample(10, "unused");
    EXPECT_THAT(recorder.Messages(),
                ElementsAre("Can't create file " + m_dataDir + "/Stat2023_Nov_15_031330.txt."));
}

TEST_F(StatisticsTest, FailedWriteIsReportedAndLeavesNoFileBehind) {
    std::filesystem::create_directory(m_dataDir);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto core = MakeCore(4);
    core->Tick();
    m_clock.Advance(10);

    // Files may grow to 100 bytes: the write of the statistics fails part way.
    rlimit tiny = old;
    tiny.rlim_cur = 100;
    const sighandler_t previous = std::signal(SIGXFSZ, SIG_IGN);
    CMessageRecorder recorder;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    core.reset();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_THAT(recorder.Messages(),
                ElementsAre("Can't write file " + m_dataDir + "/Stat2023_Nov_15_031330.txt."));
    EXPECT_THAT(ListFolder(m_dataDir), IsEmpty());
}

TEST_F(StatisticsTest, ExitLearnsTheOutcomeAndTheFileIsWrittenOnce) {
    struct Case {
        const char* name;
        int32_t logInterval;
        bool dataDirIsAFile;
        bool outcome;
        std::vector<std::string> files;
        size_t messages;
    };
    const Case cases[] = {
        {"written", 4, false, true, {"Stat2023_Nov_15_031330.txt"}, 0},  // first: the stamp
        {"no samples", 0, false, true, {}, 0},
        {"file cannot be created", 4, true, false, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_dataDir);
        if (c.dataDirIsAFile) {
            std::ofstream plain(m_dataDir);
        }
        CMessageRecorder recorder;
        auto core = MakeCore(c.logInterval);
        core->Tick();
        m_clock.Advance(10);
        EXPECT_EQ(core->WriteStatistics(), c.outcome);
        // A second write would take a new stamp.
        m_clock.Advance(1);
        EXPECT_EQ(core->WriteStatistics(), c.outcome);
        core.reset();
        if (!c.dataDirIsAFile) {
            EXPECT_EQ(ListFolder(m_dataDir), c.files);
        }
        EXPECT_EQ(recorder.Messages().size(), c.messages);
    }
}

}  // namespace
