// The program's run journal and data folder lock, as operators meet them: a
// station killed outright is recovered at the next start, and a second
// station on the same data folder is turned away without touching the first.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestSupport.h"

namespace {

using apptest::CChildProcess;
using apptest::CStationFolders;
using apptest::ReadWholeFile;
using apptest::WaitUntil;
using namespace std::chrono_literals;

constexpr const char* PROGRAM = ORVANE_PROGRAM_PATH;

size_t CountLinesStartingWith(const std::string& text, const std::string& prefix) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        count += line.rfind(prefix, 0) == 0 && !lines.eof() ? 1 : 0;
    }
    return count;
}

std::vector<std::string> Folder(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class NothingLostTest : public testing::Test {
protected:
    void SetUp() override { m_folders.WriteConfig(""); }
    // The run's journal, OrvaneSystemDx.<start>.journal; empty while there is none.
    std::string Journal() const {
        static const std::regex name(R"(OrvaneSystemDx\.\d+(-\d+)?\.journal)");
        for (const std::string& entry : Folder(m_folders.DataDir())) {
            if (std::regex_match(entry, name)) {
                return m_folders.DataDir() + "/" + entry;
            }
        }
        return {};
    }

    CStationFolders m_folders;
};

TEST_F(NothingLostTest, KilledStationsRunIsRecoveredAtTheNextStart) {
    std::string journal;
    {
        CChildProcess station({PROGRAM, "--console", "--table", "/L:4"}, m_folders.Root(),
                              "killed");
        ASSERT_TRUE(WaitUntil(
            [&] { return CountLinesStartingWith(ReadWholeFile(Journal()), "sample ") >= 2; }, 60s))
            << station.Stderr();
        station.Signal(SIGKILL);
        EXPECT_EQ(station.Wait(30s), -1);
        journal = ReadWholeFile(Journal());
    }
    const size_t samples = CountLinesStartingWith(journal, "sample ");
    ASSERT_GE(samples, 2u);
    EXPECT_TRUE(m_folders.StatFiles().empty());

    CChildProcess next({PROGRAM, "--console", "--table"}, m_folders.Root(), "next");
    ASSERT_TRUE(WaitUntil([&] { return m_folders.StatFiles().size() == 1; }, 30s)) << next.Stderr();
    const std::string path = m_folders.StatFiles()[0];
    ASSERT_TRUE(WaitUntil([&] { return next.Stderr().find(path) != std::string::npos; }));
    EXPECT_TRUE(std::regex_search(
        next.Stderr(),
        std::regex("(^|\n)Recovered the statistics of the run started \\d{4} [A-Z][a-z]{2} "
                   "\\d\\d, \\d\\d:\\d\\d:\\d\\d: " +
                   path + "\n")))
        << next.Stderr();

    const std::string stats = ReadWholeFile(path);
    EXPECT_TRUE(stats.ends_with("total counts: " + std::to_string(samples))) << stats;
    const std::regex sampleLine(R"(\d{4} [A-Z][a-z]{2} \d\d, \d\d:\d\d:\d\d {12}0 0 0 0\r)");
    EXPECT_EQ(CountLinesStartingWith(stats, "20"), samples);
    std::istringstream lines(stats);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("20", 0) == 0) {
            EXPECT_TRUE(std::regex_match(line, sampleLine)) << line;
        }
    }
    next.Signal(SIGTERM);
    EXPECT_EQ(next.Wait(30s), 0);
    EXPECT_EQ(Journal(), "") << "the recovered journal is gone";
}

TEST_F(NothingLostTest, SecondStationOnTheDataFolderIsRefusedAndTheFirstRunsOn) {
    CChildProcess first({PROGRAM, "--console", "--table", "/L:4"}, m_folders.Root(), "first");
    ASSERT_TRUE(WaitUntil(
        [&] { return CountLinesStartingWith(ReadWholeFile(Journal()), "sample ") >= 1; }, 60s))
        << first.Stderr();
    const std::vector<std::string> before = Folder(m_folders.DataDir());

    CChildProcess second({PROGRAM, "--console", "--table", "/L:4"}, m_folders.Root(), "second");
    EXPECT_EQ(second.Wait(30s), 1);
    EXPECT_EQ(second.Stderr(), "OrvaneSystemDx: The data folder " + m_folders.DataDir() +
                                   " is in use by another station (process " +
                                   std::to_string(first.Pid()) + ").\n");
    EXPECT_EQ(second.Stdout(), "") << "no table: the second station never started";
    EXPECT_EQ(Folder(m_folders.DataDir()), before);
    EXPECT_EQ(Folder(m_folders.DataDir()),
              (std::vector<std::string>{Journal().substr(m_folders.DataDir().size() + 1),
                                        "OrvaneSystemDx.lock", "OrvaneSystemDx.sessions.db",
                                        "OrvaneSystemDx.sessions.db-shm",
                                        "OrvaneSystemDx.sessions.db-wal"}));

    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(30s), 0);
    EXPECT_EQ(m_folders.StatFiles().size(), 1u);
    EXPECT_EQ(Journal(), "");
}

TEST_F(NothingLostTest, ReadOnlyDataFolderIsToldAtStartAndTheStationRunsOn) {
    std::filesystem::create_directory(m_folders.DataDir());
    std::vector<std::string> argv = {PROGRAM, "--console", "--table", "/L:4"};
    if (::geteuid() == 0) {
        // Permissions do not hold root back: the station runs as nobody, who
        // may read the configuration but not write the data folder.
        std::filesystem::permissions(m_folders.Root(), std::filesystem::perms(0755));
        std::filesystem::permissions(m_folders.ConfigDir(), std::filesystem::perms(0755));
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    std::filesystem::permissions(m_folders.DataDir(), std::filesystem::perms(0555));
    CChildProcess station(argv, m_folders.Root(), "read-only");
    ASSERT_TRUE(WaitUntil([&] { return !station.Stdout().empty(); })) << station.Stderr();
    EXPECT_TRUE(
        std::regex_search(station.Stderr(), std::regex("^Can't create file " + m_folders.DataDir() +
                                                       "/OrvaneSystemDx\\.\\d+\\.journal\\.\n")))
        << station.Stderr();
    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(30s), 1) << "the statistics file could not be written either";
    EXPECT_TRUE(station.Stderr().ends_with(".txt.\n")) << station.Stderr();
    std::filesystem::permissions(m_folders.DataDir(), std::filesystem::perms(0755));
}

// What an operator may leave at the lock file's name (a folder; a file of
// root's from a manual run, the station then run as its service user) breaks
// neither the lock nor the recovery.
TEST_F(NothingLostTest, LockFileLeftUnusableBreaksNeitherTheLockNorTheRecovery) {
    std::filesystem::create_directories(m_folders.DataDir());
    std::vector<std::string> argv = {PROGRAM, "--console", "--table", "/L:4"};
    if (::geteuid() == 0) {
        std::filesystem::permissions(m_folders.Root(), std::filesystem::perms(0777));
        for (const std::string& folder : {m_folders.ConfigDir(), m_folders.DataDir()}) {
            std::filesystem::permissions(folder, std::filesystem::perms(0777));
        }
        std::ofstream(m_folders.DataDir() + "/OrvaneSystemDx.lock") << "1\n";  // root's, 0644
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    } else {
        std::filesystem::create_directory(m_folders.DataDir() + "/OrvaneSystemDx.lock");
    }
    {
        CChildProcess killed(argv, m_folders.Root(), "killed");
        ASSERT_TRUE(WaitUntil(
            [&] { return CountLinesStartingWith(ReadWholeFile(Journal()), "sample ") >= 1; }, 60s))
            << killed.Stderr();
        CChildProcess second(argv, m_folders.Root(), "second");
        EXPECT_EQ(second.Wait(30s), 1);
        EXPECT_NE(second.Stderr().find("is in use by another station"), std::string::npos)
            << second.Stderr();
        killed.Signal(SIGKILL);
        killed.Wait(30s);
    }
    CChildProcess next(argv, m_folders.Root(), "next");
    ASSERT_TRUE(WaitUntil([&] { return m_folders.StatFiles().size() == 1; }, 30s)) << next.Stderr();
    // The file is in place a moment before its message is written.
    EXPECT_TRUE(WaitUntil([&] {
        return next.Stderr().find("Recovered the statistics of the run started") !=
               std::string::npos;
    })) << next.Stderr();
    ASSERT_TRUE(WaitUntil(
        [&] { return CountLinesStartingWith(ReadWholeFile(Journal()), "sample ") >= 1; }, 60s))
        << next.Stderr();
    next.Signal(SIGTERM);
    next.Wait(30s);
    EXPECT_EQ(m_folders.StatFiles().size(), 2u);
}

}  // namespace
