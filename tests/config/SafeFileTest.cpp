// Files in a folder others may write: what a writer killed part way leaves is
// cleared at start, and a new file never takes a name already taken.
#include "config/SafeFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/TempFiles.h"

namespace {

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SafeFileTest, OnlyTheStationsOwnTemporaryFilesAreRemovedAtStart) {
    CTempDir dir("orvane-safe");
    const std::string kept[] = {"Stat2026_Dec_09_120000.txt",
                                "Stat2026_Dec_09_120000.txt.tmp",
                                "notes.txt.1234.tmp",
                                "Stat2026_Dec_09_120000.txt..tmp",
                                "Stat2026_Dec_09_120000.txt.12-4.tmp",
                                "OrvaneSystemDx.lock.1.tmp"};
    const std::string removed[] = {"Stat2026_Dec_09_120000.txt.4711.tmp",
                                   "Stat2026_Dec_09_120000.txt.9f3a00c1d2e4b5a6.tmp"};
    for (const std::string& name : kept) {
        std::ofstream(dir.Path() + "/" + name) << "x";
    }
    for (const std::string& name : removed) {
        std::ofstream(dir.Path() + "/" + name) << "x";
    }
    // A folder and a FIFO under a temporary name are no writer's leftovers.
    std::filesystem::create_directory(dir.Path() + "/Stat2026_Dec_09_130000.txt.1.tmp");
    ASSERT_EQ(::mkfifo((dir.Path() + "/Stat2026_Dec_09_140000.txt.2.tmp").c_str(), 0644), 0);

    EXPECT_EQ(RemoveStaleTemporaries(dir.Path()), 2);
    std::vector<std::string> expected(std::begin(kept), std::end(kept));
    expected.push_back("Stat2026_Dec_09_130000.txt.1.tmp");
    expected.push_back("Stat2026_Dec_09_140000.txt.2.tmp");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(dir.Path()), expected);
}

TEST(SafeFileTest, NewFileAppearsOnlyWhenCommittedAndNeverOverAName) {
    CTempDir dir("orvane-safe");
    std::ofstream(dir.Path() + "/taken") << "another's";
    {
        CNewFile file;
        ASSERT_TRUE(file.Create(dir.Path(), "taken"));
        ASSERT_TRUE(WriteWholly(file.Fd(), "mine"));
        EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"taken"}) << "nothing half made";
        EXPECT_EQ(file.Link("taken"), CNewFile::Commit::Taken);
        EXPECT_EQ(file.Link("free"), CNewFile::Commit::Done);
    }
    {
        CNewFile abandoned;
        ASSERT_TRUE(abandoned.Create(dir.Path(), "never"));
    }
    EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"free", "taken"}));
    std::ifstream free(dir.Path() + "/free");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(free), {}), "mine");
    EXPECT_LT(OpenRegularFile(dir.Path() + "/nothing", O_RDONLY), 0);
}

}  // namespace
