// The card-command logger: its time stamp, each entry's layout and its flush, an emptied or
// uncreatable file, and entries of several threads kept whole.
#include "cardlink/Logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TempFiles.h"

namespace {

namespace fs = std::filesystem;

const std::string STAMP = R"(\d{4}/\d{1,2}/\d{1,2}  \d\d:\d\d:\d\d\.\d{3}\r\n)";

TEST(Logger, TimeStampHasNoLeadingZerosInTheDateAndThreeDigitMilliseconds) {
    struct Case {
        int year, month, day, hour, minute, second;
        unsigned ms;
        std::string stamp;
    };
    for (const Case& c : {Case{2017, 3, 5, 9, 4, 3, 7, "2017/3/5  09:04:03.007\n"},
                          Case{2024, 12, 31, 23, 59, 59, 999, "2024/12/31  23:59:59.999\n"},
                          Case{2000, 1, 1, 0, 0, 0, 0, "2000/1/1  00:00:00.000\n"}}) {
        tm local{};
        local.tm_year = c.year - 1900;
        local.tm_mon = c.month - 1;
        local.tm_mday = c.day;
        local.tm_hour = c.hour;
        local.tm_min = c.minute;
        local.tm_sec = c.second;
        EXPECT_EQ(CLogger::TimeStamp(local, c.ms), c.stamp);
    }
}

// The date part of the stamp of the local time now, e.g. "2017/3/5".
std::string LocalDateNow() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const std::string stamp = CLogger::TimeStamp(local, 0);
    return stamp.substr(0, stamp.find("  "));
}

TEST(Logger, EntryIsTheStampThenTheTextWithCrLfAndIsOnDiskAtOnce) {
    CTempDir dir;
    const fs::path file = fs::path(dir.Path()) / "trace.log";
    CLogger logger(file.string());
    const std::string dateBefore = LocalDateNow();
    logger.Log("Receive Card 1:\nUp\n\n");
    logger.Log("Send    Card 2:\n<x/>\n\n");
    const std::string dateAfter = LocalDateNow();
    // Read while the logger is still open: every entry is flushed.
    const std::string text = ReadFile(file.string());
    EXPECT_TRUE(std::regex_match(text, std::regex(STAMP + "Receive Card 1:\r\nUp\r\n\r\n" + STAMP +
                                                  "Send    Card 2:\r\n<x/>\r\n\r\n")))
        << text;
    // The stamp carries the whole local date of the moment of logging; midnight
    // may fall between the two readings of the clock.
    const std::string logged = text.substr(0, text.find("  "));
    EXPECT_TRUE(logged == dateBefore || logged == dateAfter)
        << logged << " is neither " << dateBefore << " nor " << dateAfter;
}

TEST(Logger, ExistingFileIsEmptied) {
    CTempDir dir;
    const fs::path file = fs::path(dir.Path()) / "trace.log";
    std::ofstream(file) << "an older run\n";
    CLogger logger(file.string());
    EXPECT_EQ(ReadFile(file.string()), "");
}

TEST(Logger, EmptyFileNameCreatesNoFile) {
    CTempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(fs::path(dir.Path()));
    {
        CLogger logger("");
        logger.Log("Receive Card 1:\nUp\n\n");
    }
    fs::current_path(before);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(Logger, FileThatCannotBeCreatedDropsEveryEntry) {
    CTempDir dir;
    const fs::path file = fs::path(dir.Path()) / "missing" / "trace.log";
    CLogger logger(file.string());
    logger.Log("Receive Card 1:\nUp\n\n");
    logger.Log("Receive Card 1:\nDown\n\n");
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(Logger, EntriesOfSeveralThreadsNeverInterleave) {
    CTempDir dir;
    const fs::path file = fs::path(dir.Path()) / "trace.log";
    constexpr int THREADS = 4;
    constexpr int ENTRIES = 200;
    {
        CLogger logger(file.string());
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < ENTRIES; ++i) {
                    logger.Log("Thread " + std::to_string(t) + " entry " + std::to_string(i) +
                               ":\n" + std::string(static_cast<size_t>(i % 50), 'x') + "\n\n");
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    const std::string text = ReadFile(file.string());
    const std::regex entry(STAMP + R"(Thread (\d) entry (\d+):\r\n(x*)\r\n\r\n)");
    std::vector<int> next(THREADS, 0);
    size_t consumed = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
         it != std::sregex_iterator(); ++it) {
        ASSERT_EQ(static_cast<size_t>(it->position()), consumed) << "garbage between entries";
        consumed += static_cast<size_t>(it->length());
        const int t = std::stoi((*it)[1]);
        const int i = std::stoi((*it)[2]);
        ASSERT_LT(t, THREADS);
        EXPECT_EQ(i, next[static_cast<size_t>(t)]);
        EXPECT_EQ((*it)[3].length(), i % 50);
        next[static_cast<size_t>(t)] = i + 1;
    }
    EXPECT_EQ(consumed, text.size());
    EXPECT_EQ(next, std::vector<int>(THREADS, ENTRIES));
}

}  // namespace
