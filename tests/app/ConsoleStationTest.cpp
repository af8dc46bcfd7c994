// Console mode: the table printed on every change and the Exit sequence at a stop, the redraw in
// place on a terminal, and the stop signals' descriptor.
#include "app/console/ConsoleStation.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "app/program/StopSignals.h"
#include "support/FakeVexlink.h"
#include "support/MessageRecorder.h"

namespace {

using apptest::CardSection;
using apptest::CStationFolders;
using apptest::ReadWholeFile;
using apptest::WaitUntil;

class ConsoleStationTest : public testing::Test {
protected:
    void SetUp() override { CFakeVexlink::Get().Reset(); }
    void TearDown() override { CFakeVexlink::Get().Reset(); }

    CStationFolders m_folders;
};

// The blocks printed so far (each ends with a blank line after the footer).
size_t CountTables(const std::string& text) {
    size_t count = 0;
    for (size_t at = text.find("ALS duration [s]"); at != std::string::npos;
         at = text.find("ALS duration [s]", at + 1)) {
        ++count;
    }
    return count;
}

std::string LastTable(const std::string& text) {
    const size_t at = text.rfind("Number  ");
    return at == std::string::npos ? std::string() : text.substr(at);
}

TEST_F(ConsoleStationTest, PrintsTheTableOnEveryChangeAndRunsExitWhenStopped) {
    m_folders.WriteConfig(CardSection("host-a", 4711, "sat-b", "corax") +
                          CardSection("host-b", 815, "sat-m", "tarsa") +
                          "[watch]\nmesid = 111;\n[watch]\nmesid = 222;\n[log]\nperiod = 4;\n");
    const std::string outPath = m_folders.Root() + "/table.txt";
    std::FILE* out = std::fopen(outPath.c_str(), "w");
    ASSERT_NE(out, nullptr);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);

    CMessageRecorder messages;
    ConsoleStationSettings settings;
    settings.logInterval = 0;
    settings.alsPeriod = -5;
    settings.stopFd = stop[0];
    settings.out = out;
    int status = -1;
    // The links come up only once the first table is out, so that their
    // change has a table of its own.
    CFakeVexlink::Get().SetAutoLinkUp(false);
    std::thread station([&] { status = RunConsoleStation(settings); });

    ASSERT_TRUE(WaitUntil([&] {
        int connects = 0;
        for (const std::string& line : CFakeVexlink::Get().Journal()) {
            connects += line.starts_with("connect ") ? 1 : 0;
        }
        return CountTables(ReadWholeFile(outPath)) >= 1 && connects == 2;
    })) << ReadWholeFile(outPath);
    CFakeVexlink::Get().FireLinkUp(1);
    CFakeVexlink::Get().FireLinkUp(2);
    ASSERT_TRUE(WaitUntil([&] {
        const std::string table = LastTable(ReadWholeFile(outPath));
        return table.find("host-a") != std::string::npos &&
               table.find("Host Connected") != std::string::npos &&
               table.find("Not Connected") == std::string::npos;
    })) << ReadWholeFile(outPath);
    const std::string text = ReadWholeFile(outPath);
    EXPECT_GE(CountTables(text), 2u);
    const std::string table = LastTable(text);
    EXPECT_NE(table.find("4711"), std::string::npos);
    EXPECT_NE(table.find("sat-m"), std::string::npos);
    EXPECT_NE(table.find("tarsa"), std::string::npos);
    EXPECT_NE(table.find("4294967291"), std::string::npos) << table;  // the unsigned ALS period
    EXPECT_NE(table.find("111, 222"), std::string::npos);
    EXPECT_EQ(text.find("\x1b["), std::string::npos);  // not a terminal: no redraw codes
    EXPECT_TRUE(messages.Messages().empty());

    const char byte = 1;
    ASSERT_EQ(write(stop[1], &byte, 1), 1);
    station.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(m_folders.StatFiles().size(), 1u);
    // Exit disconnected both cards.
    int disconnects = 0;
    for (const std::string& line : CFakeVexlink::Get().Journal()) {
        disconnects += line.starts_with("disconnect ") ? 1 : 0;
    }
    EXPECT_EQ(disconnects, 2);
    std::fclose(out);
    close(stop[0]);
    close(stop[1]);
}

TEST_F(ConsoleStationTest, RedrawsInPlaceOnATerminal) {
    m_folders.WriteConfig(CardSection("host-a", 4711, "sat-b", "corax"));
    const std::string outPath = m_folders.Root() + "/table.txt";
    std::FILE* out = std::fopen(outPath.c_str(), "w");
    ASSERT_NE(out, nullptr);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);

    ConsoleStationSettings settings;
    settings.stopFd = stop[0];
    settings.out = out;
    settings.redrawInPlace = true;
    std::thread station([&] { RunConsoleStation(settings); });
    ASSERT_TRUE(WaitUntil([&] { return CountTables(ReadWholeFile(outPath)) >= 2; }));
    close(stop[1]);  // a closed stop descriptor stops the station too
    station.join();

    const std::string text = ReadWholeFile(outPath);
    // The alternate screen first, and back to the normal screen at the end.
    EXPECT_TRUE(text.starts_with("\x1b[?1049h")) << text;
    EXPECT_TRUE(text.ends_with("\x1b[?1049l")) << text;
    // Every frame places its lines by cursor position from the top left corner:
    // no line feed, so nothing can scroll into the terminal's history.
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_GE(CountTables(text), 2u);
    size_t frames = 0;
    for (size_t at = text.find("\x1b[1;1H"); at != std::string::npos;
         at = text.find("\x1b[1;1H", at + 1)) {
        ++frames;
    }
    EXPECT_EQ(frames, CountTables(text)) << text;
    std::fclose(out);
    close(stop[0]);
}

TEST(StopSignalsTest, TurnsSigtermSigintAndSighupIntoAReadableDescriptor) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        CStopSignals stop;
        ASSERT_TRUE(stop.Valid());
        EXPECT_FALSE(stop.TakeSignals());
        ASSERT_EQ(raise(signal), 0);  // the process survives it
        EXPECT_TRUE(stop.TakeSignals());
        EXPECT_FALSE(stop.TakeSignals());
    }
    // The previous disposition is back once the object is gone.
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGTERM, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

}  // namespace
