// The whole station against emulated card hosts: ten cards on three hosts up
// to the end of their ALS walk, the watch-list rules for sessions, and the
// statistics file of a run.
#include "core/Monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "e2e/StationHarness.h"

using namespace e2e;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

bool IsModeRunning(const CardState& row) {
    return row.status == STATUS_MODE_RUNNING;
}

bool HasFinishedAls(const CardState& row) {
    return row.status == STATUS_MODE_RUNNING && row.alsPhase == 3;
}

// Ten cards on three hosts, one host per device model, listed in the
// configuration file interleaved by host so that the first card of a host is
// not always the lowest slot of a run of its cards.
class TenCardStationTest : public ::testing::Test {
protected:
    struct HostPlan {
        std::string device;
        std::vector<std::pair<uint32_t, std::string>> cards;  // serial, mode
    };

    void StartHosts() {
        const HostPlan plans[3] = {
            {"corax",
             {{1101, "sat-b"}, {1102, "sat-m"}, {1103, "sat-mini-m"}, {1104, "sat-c-tdm"}}},
            {"corax-e", {{1201, "sat-c-tdm"}, {1202, "sat-b"}, {1203, "sat-m"}}},
            {"tarsa", {{1301, "sat-mini-m"}, {1302, "sat-c-tdm"}, {1303, "sat-b"}}},
        };
        for (size_t h = 0; h < 3; ++h) {
            std::vector<uint32_t> serials;
            for (const auto& card : plans[h].cards) {
                serials.push_back(card.first);
            }
            std::string address;
            m_hosts[h] = StartCardHost(serials, PortOf(plans[h].device), m_logs[h], address);
            ASSERT_TRUE(m_hosts[h]);
            for (const auto& [serial, mode] : plans[h].cards) {
                m_hostOf[serial] = h;
                m_entries.push_back({address, serial, mode, plans[h].device});
            }
        }
        // 1101, 1201, 1301, 1102, 1202, 1302, ...
        std::stable_sort(
            m_entries.begin(), m_entries.end(),
            [](const CardEntry& a, const CardEntry& b) { return a.serial % 100 < b.serial % 100; });
    }

    CCardHost& HostOf(uint32_t serial) { return *m_hosts[m_hostOf.at(serial)]; }
    const COutputLog& LogOf(uint32_t serial) const { return m_logs[m_hostOf.at(serial)]; }

    COutputLog m_logs[3];
    std::unique_ptr<CCardHost> m_hosts[3];
    std::map<uint32_t, size_t> m_hostOf;
    std::vector<CardEntry> m_entries;  // configuration file order
    CStation m_station;                // last: exits before the hosts stop
};

TEST_F(TenCardStationTest, TenCardsOnThreeHostsReachModeRunningAndFinishTheAlsWalk) {
    ASSERT_NO_FATAL_FAILURE(StartHosts());
    m_station.WriteConfig(ConfigText(m_entries, {}, /*alsPeriod=*/1, /*logInterval=*/0));
    m_station.Start();

    ASSERT_TRUE(WaitUntil([&] { return m_station.All(IsModeRunning); }, LONG_WAIT))
        << "not every card reached Mode Running";
    const double running = SecondsSince(m_station.Started());
    ASSERT_TRUE(WaitUntil([&] { return m_station.All(HasFinishedAls); }, LONG_WAIT))
        << "not every card finished its ALS walk";
    const double finished = SecondsSince(m_station.Started());
    std::printf("[ timing   ] all Mode Running after %.1f s, ALS walks done after %.1f s\n",
                running, finished);

    const std::vector<CardState> rows = m_station.Rows();
    ASSERT_EQ(rows.size(), 10u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const CardState& row = rows[i];
        const CardEntry& entry = m_entries[i];
        SCOPED_TRACE("card " + std::to_string(i + 1) + ", serial " + std::to_string(entry.serial));
        EXPECT_EQ(row.number, static_cast<int32_t>(i + 1));
        EXPECT_EQ(row.address, entry.address);
        EXPECT_EQ(row.serialNumber, static_cast<int32_t>(entry.serial));
        EXPECT_EQ(row.mode, ModeIndex(entry.mode));
        EXPECT_EQ(row.device, DeviceIndex(entry.device));
        EXPECT_EQ(row.mesId, 0);
        EXPECT_EQ(row.service, SERVICE_NONE);
        EXPECT_TRUE(row.codeActive);
        EXPECT_GE(row.statusSince, m_station.StartWall());

        // The host saw the card attached by its own Connect command, then one
        // mode setup, then the ALS walk: "analog" once for every code report
        // of the mode setup (each reports "off"), then "digital" and "finish".
        const COutputLog& log = LogOf(entry.serial);
        EXPECT_EQ(log.Count("recv - " + ConnectCommand(entry.serial)), 1u);
        std::vector<std::string> expected = ModeSetupCommands(entry.mode);
        const size_t codeReports = expected.size() - 1;  // all but Set configuration
        expected.insert(expected.end(), codeReports, SetAlsCommand("analog"));
        expected.push_back(SetAlsCommand("digital"));
        expected.push_back(SetAlsCommand("finish"));
        EXPECT_THAT(log.CommandsOf(entry.serial), ElementsAreArray(expected));

        CardHostCardStatus status;
        std::string error;
        ASSERT_TRUE(HostOf(entry.serial).GetCardStatus(entry.serial, status, error)) << error;
        EXPECT_TRUE(status.attached);
        EXPECT_EQ(status.code, entry.mode);
        EXPECT_EQ(status.modulation, ModulationOf(entry.mode));
        EXPECT_EQ(status.input, "inp2");
        EXPECT_EQ(status.als, "finish");
    }
    for (const COutputLog& log : m_logs) {
        EXPECT_THAT(log.Errors(), IsEmpty());  // every command was well-formed and known
    }
    EXPECT_GT(m_station.Refreshes(), 0);
    EXPECT_THAT(m_station.Messages(), IsEmpty());

    m_station.Exit();
    // A log sampling interval of 0 takes no samples, so no statistics file.
    EXPECT_FALSE(std::filesystem::exists(m_station.DataDir()));
}

// Parses a point in time of the statistics file; the test runs in UTC.
int64_t ParsePointInTime(const std::string& text) {
    tm parts{};
    const char* end = strptime(text.c_str(), "%Y %b %d, %H:%M:%S", &parts);
    if (end == nullptr || *end != '\0') {
        ADD_FAILURE() << "not a point in time: " << text;
        return 0;
    }
    return static_cast<int64_t>(timegm(&parts));
}

std::string TimeSpan(int64_t seconds) {
    char text[64];
    std::snprintf(
        text, sizeof text, "%lld, %02lld:%02lld:%02lld", static_cast<long long>(seconds / 86400),
        static_cast<long long>(seconds % 86400 / 3600), static_cast<long long>(seconds % 3600 / 60),
        static_cast<long long>(seconds % 60));
    return text;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
        lines.push_back(text.substr(from, at - from));
        from = at + 2;
    }
    lines.push_back(text.substr(from));  // the last line has no line end
    return lines;
}

TEST_F(TenCardStationTest, StatisticsFileRecordsTheRunItsCardsAndAScriptedSession) {
    constexpr int64_t SESSION_SECONDS = 4;
    constexpr uint32_t SESSION_SERIAL = 1203;  // card 8, sat-m
    constexpr size_t SESSION_SLOT = 7;
    CEnvGuard utc("TZ", "UTC0");
    ASSERT_NO_FATAL_FAILURE(StartHosts());
    ASSERT_EQ(m_entries[SESSION_SLOT].serial, SESSION_SERIAL);
    m_station.WriteConfig(ConfigText(m_entries, {}, /*alsPeriod=*/1, /*logInterval=*/1));
    const auto runStart = SteadyClock::now();
    m_station.Start();

    ASSERT_TRUE(WaitUntil([&] { return m_station.All(HasFinishedAls); }, LONG_WAIT));
    ASSERT_TRUE(HostOf(SESSION_SERIAL).WaitMode(SESSION_SERIAL, SHORT_WAIT));
    std::string error;
    ASSERT_TRUE(
        HostOf(SESSION_SERIAL).StartSession(SESSION_SERIAL, 12345678, ServiceCode(1), error))
        << error;
    ASSERT_TRUE(WaitUntil(
        [&] { return m_station.Rows()[SESSION_SLOT].status == STATUS_BUSY_SESSION; }, SHORT_WAIT));
    // The station took the start before this moment and takes the end after
    // the pause, so it counts at least the pause.
    std::this_thread::sleep_for(std::chrono::seconds(SESSION_SECONDS));
    ASSERT_TRUE(HostOf(SESSION_SERIAL).EndSession(SESSION_SERIAL, error)) << error;
    ASSERT_TRUE(WaitUntil(
        [&] { return m_station.Rows()[SESSION_SLOT].status == STATUS_MODE_RUNNING; }, SHORT_WAIT));
    const int64_t busySeconds = m_station.Rows()[SESSION_SLOT].busySeconds;
    EXPECT_GE(busySeconds, SESSION_SECONDS);
    EXPECT_LE(busySeconds, SESSION_SECONDS + 1);
    std::this_thread::sleep_for(1500ms);  // a few idle samples after the session

    m_station.Exit();
    const double runSeconds = SecondsSince(runStart);

    // The file exists once the core is gone, and it is the only one.
    const std::vector<std::string> files = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_station.DataDir())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }();
    ASSERT_EQ(files.size(), 1u);
    std::ifstream in(m_station.DataDir() + "/" + files[0], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::string> lines = SplitCrLf(text);
    ASSERT_GE(lines.size(), 19u);

    // Start, stop and uptime agree with each other, with the file's name and
    // with the run.
    ASSERT_EQ(lines[0].substr(0, 12), "Start time: ");
    ASSERT_EQ(lines[1].substr(0, 12), "Stop  time: ");
    const int64_t start = ParsePointInTime(lines[0].substr(12));
    const int64_t stop = ParsePointInTime(lines[1].substr(12));
    EXPECT_GE(start, m_station.StartWall());
    EXPECT_LE(start, m_station.StartWall() + 2);
    EXPECT_LE(static_cast<double>(stop - start), runSeconds + 1);
    EXPECT_EQ(lines[2], "Total uptime: " + TimeSpan(stop - start));
    char stamp[64];
    const time_t stopTime = static_cast<time_t>(stop);
    tm stopParts{};
    gmtime_r(&stopTime, &stopParts);
    std::strftime(stamp, sizeof stamp, "Stat%Y_%b_%d_%H%M%S.txt", &stopParts);
    EXPECT_EQ(files[0], stamp);
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "#  Code Total sessiontime:  ");

    // One line per card with its mode label, busy time, serial number and address.
    const char* const labels[] = {"B ", "M ", "mM", "C"};
    for (size_t i = 0; i < 10; ++i) {
        const CardEntry& entry = m_entries[i];
        const int64_t busy = i == SESSION_SLOT ? busySeconds : 0;
        char expected[160];
        std::snprintf(expected, sizeof expected, "%2zu   %s %s %u %s", i + 1,
                      labels[ModeIndex(entry.mode)], TimeSpan(busy).c_str(), entry.serial,
                      entry.address.c_str());
        EXPECT_EQ(lines[5 + i], expected);
    }
    EXPECT_EQ(lines[15], "");
    EXPECT_EQ(lines[16], "");
    EXPECT_EQ(lines[17], "date/time             channels   B M m");

    // One line per sample, as many as the last line counts; with an interval
    // of one second, one at the start and one at each whole second of the
    // steady clock that the run crossed, and with Tick running about every
    // second, not far fewer.
    const size_t sampleCount = lines.size() - 19;
    EXPECT_EQ(lines.back(), "total counts: " + std::to_string(sampleCount));
    EXPECT_LE(static_cast<double>(sampleCount), runSeconds + 2);
    EXPECT_GE(static_cast<double>(sampleCount), static_cast<double>(stop - start) / 3);
    int64_t previous = start;
    size_t busySamples = 0;
    for (size_t i = 18; i < lines.size() - 1; ++i) {
        const std::string& line = lines[i];
        SCOPED_TRACE(line);
        ASSERT_EQ(line.size(), 21u + 1 + 10 + 8);
        const int64_t time = ParsePointInTime(line.substr(0, 21));
        EXPECT_GE(time, previous);
        EXPECT_LE(time, stop);
        previous = time;
        const std::string channels = line.substr(22, 10);
        const bool busy = channels[SESSION_SLOT] == '1';
        std::string expectedChannels(10, '0');
        expectedChannels[SESSION_SLOT] = busy ? '1' : '0';
        EXPECT_EQ(channels, expectedChannels);
        busySamples += busy ? 1 : 0;
        EXPECT_EQ(line.substr(32), busy ? " 0 1 0 0" : " 0 0 0 0");  // the card is sat-m
    }
    // Samples at least a second apart within a session of busySeconds (and
    // less than a second more).
    EXPECT_GE(busySamples, 1u);
    EXPECT_LE(busySamples, static_cast<size_t>(busySeconds) + 2);
    std::printf("[ timing   ] run %.1f s, %zu samples, %zu busy, session counted %lld s\n",
                runSeconds, sampleCount, busySamples, static_cast<long long>(busySeconds));
}

// A watch list of two MES IDs on three cards of two hosts. Each step waits for
// the station's answer: a row change for a followed session, the command the
// host receives for a refused one.
TEST(WatchListEndToEnd, SessionsAreFollowedOrRefusedByTheWatchListRules) {
    constexpr uint32_t CARD_B = 2101;    // card 1, sat-b, host A
    constexpr uint32_t CARD_TDM = 2102;  // card 2, sat-c-tdm, host A
    constexpr uint32_t CARD_M = 2201;    // card 3, sat-m, host B
    constexpr int32_t LISTED_1 = 11111111;
    constexpr int32_t LISTED_2 = 22222222;
    constexpr int32_t UNLISTED = 33333333;

    COutputLog logA;
    COutputLog logB;
    std::string addressA;
    std::string addressB;
    std::unique_ptr<CCardHost> hostA =
        StartCardHost({CARD_B, CARD_TDM}, PORT_CORAX, logA, addressA);
    std::unique_ptr<CCardHost> hostB = StartCardHost({CARD_M}, PORT_TARSA, logB, addressB);
    ASSERT_TRUE(hostA && hostB);
    CStation station;
    station.WriteConfig(ConfigText({{addressA, CARD_B, "sat-b", "corax"},
                                    {addressA, CARD_TDM, "sat-c-tdm", "corax"},
                                    {addressB, CARD_M, "sat-m", "tarsa"}},
                                   {LISTED_1, LISTED_2}, /*alsPeriod=*/0, /*logInterval=*/0));
    station.Start();
    ASSERT_TRUE(WaitUntil([&] { return station.All(IsModeRunning); }, LONG_WAIT));
    EXPECT_THAT(station.Core().GetWatchList(), ElementsAre(LISTED_1, LISTED_2));
    for (uint32_t serial : {CARD_B, CARD_TDM}) {
        ASSERT_TRUE(hostA->WaitMode(serial, SHORT_WAIT));
    }
    ASSERT_TRUE(hostB->WaitMode(CARD_M, SHORT_WAIT));

    const std::string noMode = SetCodeCommand("no-mode", "oqpsk");
    const std::string tdmCode = SetCodeCommand("sat-c-tdm", "bpsk");
    auto row = [&](size_t slot) { return station.Rows()[slot]; };
    auto start = [](CCardHost& host, uint32_t serial, int32_t mesId, const char* service) {
        std::string error;
        EXPECT_TRUE(host.StartSession(serial, static_cast<uint32_t>(mesId), service, error))
            << error;
    };
    auto received = [](const COutputLog& log, uint32_t serial, const std::string& command,
                       size_t count) {
        return WaitUntil([&] { return log.Received(serial, command) >= count; }, SHORT_WAIT);
    };

    // Not on the list, sat-b: resync.
    start(*hostA, CARD_B, UNLISTED, "TEL ");
    EXPECT_TRUE(received(logA, CARD_B, START_RESYNC_COMMAND, 1));
    EXPECT_EQ(row(0).status, STATUS_MODE_RUNNING);
    EXPECT_EQ(row(0).mesId, 0);

    // Not on the list, sat-c-tdm outside a session: its whole mode setup again.
    start(*hostA, CARD_TDM, UNLISTED, "TEL ");
    EXPECT_TRUE(received(logA, CARD_TDM, tdmCode, 4));
    EXPECT_EQ(logA.Received(CARD_TDM, noMode), 2u);
    EXPECT_EQ(row(1).status, STATUS_MODE_RUNNING);
    ASSERT_TRUE(hostA->WaitMode(CARD_TDM, SHORT_WAIT));

    // On the list: followed.
    start(*hostA, CARD_B, LISTED_1, "DATA");
    ASSERT_TRUE(WaitUntil([&] { return row(0).status == STATUS_BUSY_SESSION; }, SHORT_WAIT));
    EXPECT_EQ(row(0).mesId, LISTED_1);
    EXPECT_EQ(row(0).service, SERVICE_DATA);

    // The same MES ID on a card of the other host: refused, resync.
    start(*hostB, CARD_M, LISTED_1, "FAX ");
    EXPECT_TRUE(received(logB, CARD_M, START_RESYNC_COMMAND, 1));
    EXPECT_EQ(row(2).status, STATUS_MODE_RUNNING);
    EXPECT_EQ(row(2).mesId, 0);

    // The second listed MES ID on the sat-c-tdm card: followed.
    start(*hostA, CARD_TDM, LISTED_2, "ISDN");
    ASSERT_TRUE(WaitUntil([&] { return row(1).status == STATUS_BUSY_SESSION; }, SHORT_WAIT));
    EXPECT_EQ(row(1).mesId, LISTED_2);
    EXPECT_EQ(row(1).service, SERVICE_ISDN);

    // A refused start on the busy sat-c-tdm card: resync, not a mode setup,
    // and the followed session stays.
    start(*hostA, CARD_TDM, LISTED_1, "TEL ");
    EXPECT_TRUE(received(logA, CARD_TDM, START_RESYNC_COMMAND, 1));
    EXPECT_EQ(logA.Received(CARD_TDM, noMode), 2u);
    EXPECT_EQ(row(1).status, STATUS_BUSY_SESSION);
    EXPECT_EQ(row(1).mesId, LISTED_2);

    // The first card's session ends; its MES ID may now be followed elsewhere.
    std::string error;
    ASSERT_TRUE(hostA->EndSession(CARD_B, error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return row(0).status == STATUS_MODE_RUNNING; }, SHORT_WAIT));
    EXPECT_EQ(row(0).mesId, 0);
    EXPECT_EQ(row(0).service, SERVICE_NONE);
    start(*hostB, CARD_M, LISTED_1, "TELEX SM");
    ASSERT_TRUE(WaitUntil([&] { return row(2).status == STATUS_BUSY_SESSION; }, SHORT_WAIT));
    EXPECT_EQ(row(2).mesId, LISTED_1);
    EXPECT_EQ(row(2).service, SERVICE_TELEX_SM);

    // Nothing else was sent: one resync per refusal of a sat-b, sat-m or busy
    // card, one extra mode setup for the idle sat-c-tdm card.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(logA.Received(CARD_B, START_RESYNC_COMMAND), 1u);
    EXPECT_EQ(logA.Received(CARD_TDM, START_RESYNC_COMMAND), 1u);
    EXPECT_EQ(logB.Received(CARD_M, START_RESYNC_COMMAND), 1u);
    EXPECT_EQ(logA.Received(CARD_B, noMode), 1u);
    EXPECT_EQ(logA.Received(CARD_TDM, noMode), 2u);
    EXPECT_EQ(logB.Received(CARD_M, noMode), 1u);
    EXPECT_THAT(logA.Errors(), IsEmpty());
    EXPECT_THAT(logB.Errors(), IsEmpty());
    station.Exit();
}

}  // namespace
