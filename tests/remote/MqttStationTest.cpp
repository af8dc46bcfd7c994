// The whole station with its broker service: emulated card hosts over
// loopback, the core and its dispatch thread, a real broker and a
// subscriber; and the program itself killed outright.
#include "remote/MqttService.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/StationRun.h"
#include "e2e/StationHarness.h"
#include "remote/MqttTestSupport.h"

using namespace mqtttest;

namespace {

// The station of one test: its folders, the core with the broker service
// registered before the dispatch thread starts, as the program does.
class CBrokerStation {
public:
    CBrokerStation(const std::string& config, std::unique_ptr<CMqttService> service)
        : m_configEnv(CONFIG_DIR_VARIABLE, m_configDir.Path()),
          m_dataEnv(DATA_DIR_VARIABLE, m_dataDir.Path()),
          m_service(std::move(service)) {
        std::ofstream(m_configDir.Path() + "/OrvaneSystemDx.ini") << config;
        m_run = std::make_unique<CStationRun>(ReadStationConfig(0, 0));
        m_run->AddObserver(m_service.get());
        m_run->Start();
    }
    ~CBrokerStation() { Exit(); }

    std::vector<CardState> Rows() const {
        std::vector<CardState> rows;
        m_run->Core().GetCardRows(rows);
        return rows;
    }
    // The Exit sequence, then the end of the service, as the program ends them.
    std::chrono::milliseconds Exit() {
        const auto begin = std::chrono::steady_clock::now();
        if (m_run) {
            m_run->Stop();
            m_run->End();
            m_run.reset();
            m_service.reset();
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - begin);
    }

private:
    CTempDir m_configDir;
    CTempDir m_dataDir;
    CEnvGuard m_configEnv;
    CEnvGuard m_dataEnv;
    CMessageRecorder m_messages;
    std::unique_ptr<CMqttService> m_service;
    std::unique_ptr<CStationRun> m_run;
};

std::unique_ptr<CMqttService> Service(const std::string& broker, const std::string& name) {
    MqttOptions options;
    options.broker = broker;
    options.stationName = name;
    options.warn = [](const std::string&) {};
    std::string error;
    auto service = CMqttService::Start(options, error);
    EXPECT_TRUE(service) << error;
    return service;
}

bool AllRunning(const std::vector<CardState>& rows) {
    return std::all_of(rows.begin(), rows.end(),
                       [](const CardState& row) { return row.status == STATUS_MODE_RUNNING; });
}

TEST(MqttStationTest, AScriptedRunPublishesItsSessionEventsInOrder) {
    CTestBroker broker;
    CSubscriber watcher(broker, "orvane/gamma/#");
    e2e::COutputLog log;
    std::string address;
    auto host = e2e::StartCardHost({4101, 4102}, PORT_CORAX, log, address);
    ASSERT_TRUE(host);
    const std::string config = e2e::ConfigText(
        {{address, 4101, "sat-b", "corax"}, {address, 4102, "sat-m", "corax"}}, {111}, 0, 0);
    CBrokerStation station(config, Service(broker.HostPort(), "gamma"));
    ASSERT_TRUE(WaitUntil([&] { return AllRunning(station.Rows()); }, 60s));
    ASSERT_TRUE(host->WaitMode(4101, 10s) && host->WaitMode(4102, 10s));

    const std::string session = "orvane/gamma/session";
    std::string error;
    auto step = [&](bool done, const std::string& expected) {
        ASSERT_TRUE(done) << error;
        ASSERT_TRUE(watcher.WaitLast(session, expected)) << expected;
    };
    step(host->StartSession(4101, 111, "DATA", error), "\"followed\":true");
    step(host->StartSession(4102, 222, "TEL ", error), "\"followed\":false");
    step(host->EndSession(4101, error), "\"event\":\"session end\"");
    step(host->Drop(4102, error), "\"event\":\"link down\"");

    const std::vector<std::string> events = watcher.Payloads(session);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_TRUE(Has(events[0], "{\"event\":\"link up\",\"card\":"));
    EXPECT_TRUE(Has(events[1], "{\"event\":\"link up\",\"card\":"));
    EXPECT_TRUE(Has(events[2], "{\"event\":\"session start\",\"card\":1,\"serial\":4101,"));
    EXPECT_TRUE(Has(events[2], "\"mes_id\":111,\"service\":\"Data\",\"followed\":true}"));
    EXPECT_TRUE(Has(events[3], "{\"event\":\"session start\",\"card\":2,\"serial\":4102,"));
    EXPECT_TRUE(Has(events[3],
                    "\"mes_id\":222,\"service\":\"Telephone\",\"followed\":false,"
                    "\"reason\":\"not on the watch list\",\"action\":\"resync\"}"));
    EXPECT_TRUE(Has(events[4], "{\"event\":\"session end\",\"card\":1,"));
    EXPECT_TRUE(Has(events[4], "\"mes_id\":111,\"service\":\"Data\",\"duration_seconds\":"));
    EXPECT_TRUE(Has(events[4], ",\"cause\":\"end record\"}"));
    EXPECT_TRUE(Has(events[5], "{\"event\":\"link down\",\"card\":2,\"serial\":4102,"));

    // The cards' retained topics follow: card 1 back from its session,
    // card 2 without its link.
    EXPECT_TRUE(watcher.WaitLast("orvane/gamma/card/2", "\"status\":\"Not Connected\""));
    const std::string card1 = watcher.Last("orvane/gamma/card/1")->payload;
    EXPECT_TRUE(Has(card1, "\"status\":\"Mode Running\"")) << card1;
    EXPECT_TRUE(Has(card1, "\"sessions_followed\":1,\"sessions_refused\":0")) << card1;
    const std::string card2 = watcher.Last("orvane/gamma/card/2")->payload;
    EXPECT_TRUE(Has(card2,
                    "\"link_ups\":1,\"link_downs\":1,\"sessions_followed\":0,"
                    "\"sessions_refused\":1"))
        << card2;
}

TEST(MqttStationTest, ABrokerThatNeverAnswersLeavesTheCardsAloneAndTheExitFast) {
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&at), &length);

    e2e::COutputLog log;
    std::string address;
    auto host = e2e::StartCardHost({4201}, PORT_CORAX, log, address);
    ASSERT_TRUE(host);
    CBrokerStation station(e2e::ConfigText({{address, 4201, "sat-b", "corax"}}, {}, 0, 0),
                           Service("127.0.0.1:" + std::to_string(ntohs(at.sin_port)), "epsilon"));
    ASSERT_TRUE(WaitUntil([&] { return AllRunning(station.Rows()); }, 60s));
    ASSERT_TRUE(host->WaitMode(4201, 10s));
    std::string error;
    ASSERT_TRUE(host->StartSession(4201, 4711, "DATA", error)) << error;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const CardState row = station.Rows().at(0);
            return row.status == STATUS_BUSY_SESSION && row.mesId == 4711;
        },
        10s));
    EXPECT_LT(station.Exit(), 5s);
    close(silent);
}

#ifdef ORVANE_PROGRAM_PATH
TEST(MqttStationTest, AStationKilledOutrightReadsOfflineByItsLastWill) {
    CTestBroker broker;
    CSubscriber watcher(broker, "orvane/zeta/status");
    apptest::CStationFolders folders;
    folders.WriteConfig("A station without cards.\n");
    CChildProcess station(
        {ORVANE_PROGRAM_PATH, "--console", "--mqtt", broker.HostPort(), "--name", "zeta"},
        folders.Root(), "station");
    ASSERT_TRUE(watcher.WaitLast("orvane/zeta/status", "online")) << station.Stderr();
    station.Signal(SIGKILL);
    ASSERT_TRUE(station.Wait(10s).has_value());
    EXPECT_TRUE(watcher.WaitLast("orvane/zeta/status", "offline"));
}
#endif

}  // namespace
