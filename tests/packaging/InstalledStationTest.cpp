// orvane-station as an operator installs it: run from a DESTDIR install of
// this build (its card library found beside it, no toolkit loaded), under a
// notification socket that stands in for the service manager, against card
// hosts that refuse, go silent, do not list a card, and offer sessions that
// are followed and refused. What the manager and the journal would see is
// checked: readiness, status, watchdog, and the event lines with their
// reasons and priorities.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>

#include "app/AppTestSupport.h"
#include "support/Poll.h"

namespace {

using apptest::CardSection;
using apptest::CChildProcess;
using apptest::CStationFolders;
using apptest::RandomLoopbackAddress;
using apptest::ReadWholeFile;
using namespace std::chrono_literals;

const std::string STATION = std::string(ORVANE_INSTALLED_BINDIR) + "/orvane-station";
const std::string CARDHOST = std::string(ORVANE_INSTALLED_BINDIR) + "/orvane-cardhost";

// The service manager's end: a datagram socket that collects every message
// on a thread of its own.
class CNotifySocket {
public:
    explicit CNotifySocket(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (m_fd < 0 ||
            bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "cannot bind " << path;
        }
        m_reader = std::thread([this] { Read(); });
    }
    ~CNotifySocket() {
        m_stop = true;
        m_reader.join();
        close(m_fd);
    }
    CNotifySocket(const CNotifySocket&) = delete;
    CNotifySocket& operator=(const CNotifySocket&) = delete;

    std::vector<std::string> Messages() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_messages;
    }
    // How many messages hold `assignment` ("WATCHDOG=1") on a line of their own.
    size_t Count(const std::string& assignment) const {
        size_t count = 0;
        for (const std::string& message : Messages()) {
            count += ("\n" + message).find("\n" + assignment + "\n") != std::string::npos ? 1 : 0;
        }
        return count;
    }

private:
    void Read() {
        while (!m_stop) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 50) != 1) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> guard(m_lock);
                m_messages.emplace_back(buffer, static_cast<size_t>(n));
            }
        }
    }

    std::string m_path;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::string> m_messages;
    std::thread m_reader;
};

// Starts a card host from the install; waits for its "listening" line.
std::unique_ptr<CChildProcess> StartHost(const CStationFolders& folders, const std::string& name,
                                         const std::string& address, const std::string& device,
                                         const std::vector<int>& serials,
                                         const std::string& script) {
    const std::string scriptFile = folders.Root() + "/" + name + ".script";
    std::ofstream(scriptFile) << script;
    std::vector<std::string> argv = {CARDHOST, "--listen", address,   "--device",
                                     device,   "--script", scriptFile};
    for (const int serial : serials) {
        argv.push_back("--card");
        argv.push_back(std::to_string(serial));
    }
    auto host = std::make_unique<CChildProcess>(argv, folders.Root(), name);
    EXPECT_TRUE(WaitUntil([&] { return host->Stdout().find("listening ") != std::string::npos; }))
        << host->Stderr();
    return host;
}

std::string Escaped(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([().\\])"), R"(\$&)");
}

TEST(InstalledStationTest, RunsAsAServiceAndTellsEachEventWithItsReasonAndPriority) {
    CStationFolders folders;
    const std::string hostA = RandomLoopbackAddress();
    const std::string hostB = RandomLoopbackAddress();
    const std::string nobody = RandomLoopbackAddress();
    // Host A carries cards 1 and 2 (not card 3): card 1 follows a watched
    // session, card 2 is offered the same MES ID, then one that is not watched.
    auto a = StartHost(folders, "host-a", hostA, "corax", {4711, 4712},
                       "wait-mode 4711\nstart 4711 42310001 data\nwait-mode 4712\nsleep 300\n"
                       "start 4712 42310001 fax\nsleep 300\nstart 4712 999 tel\n");
    // Host B hangs once its card runs: the card library ends the silent link.
    auto b = StartHost(folders, "host-b", hostB, "tarsa", {5001}, "wait-mode 5001\nfreeze 5001\n");
    folders.WriteConfig(
        CardSection(hostA, 4711, "sat-m", "corax") + CardSection(hostA, 4712, "sat-b", "corax") +
        CardSection(hostA, 4713, "sat-b", "corax") + CardSection(hostB, 5001, "sat-m", "tarsa") +
        CardSection(nobody, 6001, "sat-b", "corax") +
        "[watch]\nmesid = 42310001;\n[log]\nperiod = 4;\n");

    CNotifySocket manager(folders.Root() + "/notify");
    setenv("NOTIFY_SOCKET", (folders.Root() + "/notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "4000000", 1);  // a watchdog message every second at most
    const std::string log = folders.Root() + "/cards.log";
    CChildProcess station({STATION, "--log", log}, folders.Root(), "station");
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
    const std::vector<std::string> expected = {
        "<4>" + stamp + Escaped("card 5 (serial 6001): connect to " + nobody + " failed: refused"),
        "<6>" + stamp + Escaped("card 1 (serial 4711): session followed: MES ID 42310001, Data"),
        "<6>" + stamp +
            Escaped("card 2 (serial 4712): session refused: MES ID 42310001, Fax, held by card "
                    "1; resync"),
        "<6>" + stamp +
            Escaped("card 2 (serial 4712): session refused: MES ID 999, Telephone, not on the "
                    "watch list; resync"),
        "<4>" + stamp + Escaped("card 4 (serial 5001): link to " + hostB + " down: silent"),
        "<4>" + stamp +
            Escaped("card 3 (serial 4713): host " + hostA +
                    " connected for 30 s but does not list serial 4713"),
    };
    auto missing = [&] {
        std::vector<std::string> left;
        const std::string out = station.Stdout();
        for (const std::string& line : expected) {
            if (!std::regex_search(out, std::regex("(^|\n)" + line + "\n"))) {
                left.push_back(line);
            }
        }
        return left;
    };
    // The silence limit is 15 s and a host is told not to list a card after 30 s.
    EXPECT_TRUE(WaitUntil([&] { return missing().empty(); }, 90s))
        << "missing:\n"
        << testing::PrintToString(missing()) << "\nstation:\n"
        << station.Stdout() << station.Stderr();

    // The program and its card library come from the install; no toolkit is loaded.
    const std::string maps = ReadWholeFile("/proc/" + std::to_string(station.Pid()) + "/maps");
    EXPECT_NE(maps.find(std::string(ORVANE_INSTALLED_LIBDIR) + "/libvexlink.so"), std::string::npos)
        << maps;
    // Neither is the remote services module with its libraries, nobody asked for it.
    for (const char* library :
         {"libQt", "libX11", "orvane-remote", "libcpp-httplib", "libmosquitto", "libcrypto"}) {
        EXPECT_EQ(maps.find(library), std::string::npos) << library;
    }

    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(60s), 0) << station.Stderr();
    EXPECT_EQ(station.Stderr(), "");
    const std::string out = station.Stdout();
    EXPECT_TRUE(std::regex_search(out, std::regex("\n<6>" + stamp +
                                                  "statistics file written: .*/Stat\\w+\\.txt "
                                                  "\\(\\d+ samples?\\)\n<6>" +
                                                  stamp + "station stopped\n$")))
        << out;

    // The manager heard the station ready once its configuration was read (five
    // cards) and the first pass ran, then its status, a watchdog every second
    // or so, and the stop.
    const std::vector<std::string> messages = manager.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(std::regex_search(messages[0],
                                  std::regex(R"(^READY=1\nSTATUS=\d of 5 cards up, 0 busy, )")))
        << messages[0];
    EXPECT_EQ(manager.Count("READY=1"), 1u);
    EXPECT_GE(manager.Count("WATCHDOG=1"), 20u);
    bool busyTold = false;
    for (const std::string& message : messages) {
        busyTold = busyTold ||
                   std::regex_search(message, std::regex(R"(STATUS=\d of 5 cards up, 1 busy)"));
    }
    EXPECT_TRUE(busyTold);
    EXPECT_TRUE(messages.back().starts_with("STOPPING=1\n")) << messages.back();

    // --log: the card-command log, with the designed stamps and CR LF.
    const std::string cards = ReadWholeFile(log);
    EXPECT_TRUE(std::regex_search(
        cards, std::regex(R"(\d{4}/\d{1,2}/\d{1,2}  \d\d:\d\d:\d\d\.\d{3}\r\nConnect Card 1:\r\n)" +
                          Escaped(hostA) + " 33254\r\n\r\n")))
        << cards.substr(0, 400);
}

TEST(InstalledStationTest, AnswersAsTheHeadlessProgram) {
    CStationFolders folders;
    folders.WriteConfig("[log]\nperiod = 4;\n");
    // --http loads the remote services module from the installed library folder.
    CChildProcess http({STATION, "--http", RandomLoopbackAddress() + ":0"}, folders.Root(), "http");
    EXPECT_TRUE(WaitUntil([&] {
        return http.Stderr().find("status page at") != std::string::npos;
    })) << http.Stdout()
        << http.Stderr();
    const std::string maps = ReadWholeFile("/proc/" + std::to_string(http.Pid()) + "/maps");
    EXPECT_NE(maps.find(std::string(ORVANE_INSTALLED_LIBDIR) + "/orvane-remote.so"),
              std::string::npos)
        << maps;
    http.Signal(SIGTERM);
    EXPECT_EQ(http.Wait(60s), 0) << http.Stderr();

    CChildProcess version({STATION, "--version"}, folders.Root(), "version");
    EXPECT_EQ(version.Wait(30s), 0);
    EXPECT_EQ(version.Stdout(), "orvane-station 2.0.0\n");
    CChildProcess dialog({STATION, "--screenshot", "x.png"}, folders.Root(), "dialog");
    EXPECT_EQ(dialog.Wait(30s), 2);
    EXPECT_NE(dialog.Stderr().find("--screenshot belongs to the dialog (OrvaneSystemDx)"),
              std::string::npos)
        << dialog.Stderr();
}

}  // namespace
