// The session history as the program keeps and shows it: `--sessions`
// without a history, after a station killed with sessions open and ended, and
// a history that cannot be written while the station runs.
#include "app/program/SessionList.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "support/TempFiles.h"

namespace {

using apptest::CardSection;
using apptest::CChildProcess;
using apptest::CStationFolders;
using apptest::WaitUntil;
using namespace std::chrono_literals;

constexpr const char* PROGRAM = ORVANE_PROGRAM_PATH;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class SessionProgramTest : public testing::Test {
protected:
    int Run(const std::vector<std::string>& arguments, std::string& out, std::string& err) {
        std::vector<std::string> argv = {PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        CChildProcess child(argv, m_folders.Root(), "run" + std::to_string(++m_runs));
        const std::optional<int> status = child.Wait(60s);
        out = child.Stdout();
        err = child.Stderr();
        return status.value_or(-2);
    }
    std::string Database() const { return m_folders.DataDir() + "/" + SESSION_DATABASE_NAME; }

    CEnvGuard m_utc{"TZ", "UTC"};
    CStationFolders m_folders;
    int m_runs = 0;
};

TEST_F(SessionProgramTest, WithoutAHistoryOrWithBadArgumentsSaysSo) {
    std::string out;
    std::string err;
    EXPECT_EQ(Run({"--sessions"}, out, err), SESSIONS_NO_HISTORY);
    EXPECT_EQ(err, "OrvaneSystemDx: no session history: " + Database() + " does not exist\n");
    EXPECT_EQ(Run({"--sessions", "--until", "2026-12-08", "25:00"}, out, err), 2);
    EXPECT_NE(err.find("--until needs a local time YYYY-MM-DD[ HH:MM[:SS]]"), std::string::npos)
        << err;
    EXPECT_EQ(out, "");
}

#ifdef ORVANE_CARDHOST_PATH

// A card host with cards 4711 (sat-m) and 4712 (sat-b), both corax, on a
// loopback address of its own, running `script`; the station's configuration
// names both and holds `more`.
class CardHostSessionTest : public SessionProgramTest {
protected:
    void StartHost(const std::string& script, const std::string& more) {
        const std::string address = apptest::RandomLoopbackAddress();
        const std::string path = m_folders.Root() + "/host.script";
        std::ofstream(path) << script;
        m_host = std::make_unique<CChildProcess>(
            std::vector<std::string>{ORVANE_CARDHOST_PATH, "--listen", address, "--device", "corax",
                                     "--card", "4711", "--card", "4712", "--script", path},
            m_folders.Root(), "host");
        ASSERT_TRUE(WaitUntil([&] {
            return m_host->Stdout().find("listening ") != std::string::npos;
        })) << m_host->Stderr();
        m_folders.WriteConfig(CardSection(address, 4711, "sat-m", "corax") +
                              CardSection(address, 4712, "sat-b", "corax") + more);
    }
    static bool Shows(const CChildProcess& station, const std::string& text) {
        const std::string out = station.Stdout();
        const size_t table = out.rfind("Number  ");
        return table != std::string::npos && out.find(text, table) != std::string::npos;
    }
    std::unique_ptr<CChildProcess> m_host;
};

TEST_F(CardHostSessionTest, AKilledStationLeavesEveryStartedSessionWithTheEndedOnesClosed) {
    StartHost(
        "wait-mode 4711\nwait-mode 4712\nstart 4711 111 data\nsleep 1100\nend 4711\n"
        "start 4711 222 fax\nsleep 500\nstart 4712 999 tel\nstart 4712 222 data\n",
        "[watch]\nmesid = 111;\n[watch]\nmesid = 222;\n");
    CChildProcess station({PROGRAM, "--console"}, m_folders.Root(), "station");
    // Everything the host sent is in the database while the station runs.
    std::vector<SessionRecord> sessions;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::string error;
            return QuerySessions(Database(), {}, sessions, error) == SessionQueryResult::Ok &&
                   sessions.size() == 4;
        },
        60s))
        << station.Stdout() << m_host->Stdout();
    station.Signal(SIGKILL);
    EXPECT_EQ(station.Wait(30s), -1);

    // What --sessions prints after the kill, the times aside: "open" or
    // "ended", then card, serial, address, device, mode, MES ID, service,
    // outcome and reason. Newest first; the refusals came last (the two
    // cards' links are apart, so the host waits before it sends them).
    std::string out;
    std::string err;
    ASSERT_EQ(Run({"--sessions", "--csv"}, out, err), 0) << err;
    std::vector<std::string> rows;
    for (const std::string& line : Lines(out)) {
        const size_t end = line.find(',') + 1;
        const size_t duration = line.find(',', end) + 1;
        const size_t rest = line.find(',', duration) + 1;
        rows.push_back((end == duration - 1 ? "open" : "ended") + line.substr(rest - 1));
    }
    const std::string at = "," + sessions[0].address + ",corax,";
    EXPECT_EQ(rows,
              (std::vector<std::string>{
                  "ended,card,serial,address,device,mode,mesid,service,outcome,reason",
                  "ended,2,4712" + at + "sat-b,222,Data,refused,held by card 1; resync",
                  "ended,2,4712" + at + "sat-b,999,Telephone,refused,not on the watch list; resync",
                  "open,1,4711" + at + "sat-m,222,Fax,followed,",
                  "ended,1,4711" + at + "sat-m,111,Data,followed,end record"}));
    EXPECT_GE(sessions[3].duration.value_or(0), 1) << "the first session lasted over a second";
}

// A history that cannot be written: the station says so once, follows the
// session as ever and stops on SIGTERM.
TEST_F(CardHostSessionTest, AHistoryThatCannotBeWrittenIsToldOnceAndTheStationRunsOn) {
    struct Case {
        const char* name;
        bool readOnly;  // else a file size limit
        std::string message;
    };
    const Case cases[] = {
        {"read-only data folder", true, "Can't open file " + Database() + ": "},
        {"file size limit", false, "Can't write file " + Database() + ": "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_folders.DataDir());
        std::filesystem::create_directory(m_folders.DataDir());
        StartHost("wait-mode 4711\nsleep 1500\nstart 4711 111 data\n", "");
        std::vector<std::string> argv = {PROGRAM, "--console", "--table"};
        if (c.readOnly) {
            // Permission bits do not stop root: the station runs as nobody then.
            if (geteuid() == 0) {
                chmod(m_folders.Root().c_str(), 0755);
                argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"});
            } else {
                chmod(m_folders.DataDir().c_str(), 0555);
            }
        }
        CChildProcess station(argv, m_folders.Root(), "station");
        ASSERT_TRUE(WaitUntil([&] { return Shows(station, "Number  "); })) << station.Stderr();
        if (!c.readOnly) {
            // The tables still fit on standard output; the history's log
            // already holds more than that since it was created.
            rlimit limit{};
            ASSERT_EQ(prlimit(station.Pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
            limit.rlim_cur = 20000;
            ASSERT_EQ(prlimit(station.Pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
        }
        EXPECT_TRUE(WaitUntil([&] { return Shows(station, "Busy Session"); }, 60s))
            << station.Stdout() << station.Stderr();
        // The history gives up its write at the first flush after the session.
        EXPECT_TRUE(WaitUntil([&] { return !station.Stderr().empty(); }));
        station.Signal(SIGTERM);
        EXPECT_EQ(station.Wait(30s), 0);
        // Once, among the console's own lines (the configuration's warnings at
        // start, the statistics file at exit).
        std::vector<std::string> told;
        for (const std::string& line : Lines(station.Stderr())) {
            if (line.find(Database()) != std::string::npos) {
                told.push_back(line);
            }
        }
        ASSERT_EQ(told.size(), 1u) << station.Stderr();
        EXPECT_TRUE(told[0].starts_with(c.message)) << told[0];
        m_host->Signal(SIGTERM);
        m_host->Wait(30s);
        chmod(m_folders.DataDir().c_str(), 0755);
    }
}

#endif

}  // namespace
