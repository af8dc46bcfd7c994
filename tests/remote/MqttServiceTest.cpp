// The broker service against a real broker, fed as the dispatch thread feeds
// it: the retained status and card topics, a broker that is away at the
// start and restarted mid-run, a log-in, and a broker that never answers.
#include "remote/MqttService.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>

#include "remote/MqttTestSupport.h"
#include "resources/OrvaneTypes.h"
#include "support/LineLog.h"

using namespace mqtttest;

namespace {

CardState Row(int32_t number, int32_t status, int32_t mesId = 0, int32_t service = 0) {
    CardState row;
    row.number = number;
    row.address = "127.0.0.1";
    row.serialNumber = 4100 + number;
    row.status = status;
    row.mesId = mesId;
    row.service = service;
    row.statusSince = time(nullptr) - 5;
    return row;
}

StationInfo Info(const std::vector<CardState>& rows) {
    StationInfo info;
    info.cards = rows;
    return info;
}

StationPass Pass(const std::vector<CardState>& rows) {
    static uint64_t sequence = 0;
    auto snapshot = std::make_shared<StationSnapshot>();
    snapshot->sequence = ++sequence;
    snapshot->wallTimeMs = static_cast<int64_t>(time(nullptr)) * 1000;
    snapshot->rows = rows;
    snapshot->counters.resize(rows.size());
    StationPass pass;
    pass.snapshot = snapshot;
    return pass;
}

StationEvent Event(StationEventKind kind, int32_t card, int32_t mesId = 0) {
    StationEvent event;
    event.kind = kind;
    event.card = card;
    event.serialNumber = 4100 + card;
    event.mesId = mesId;
    event.service = SERVICE_DATA;
    event.wallTime = time(nullptr);
    return event;
}

// The service's warnings, from whichever thread gives them.
using CWarnings = CLineLog;

// Waits until a warning holds `part`.
bool Warned(const CWarnings& warnings, const std::string& part) {
    return warnings.WaitFor(part, 20s, CLineLog::Match::Part);
}

// Hands `service` a pass every 20 ms, as an idle dispatch thread does once a
// second, until `done` holds; false when it does not within 20 s.
bool PassUntil(CMqttService& service, const std::vector<CardState>& rows,
               const std::function<bool()>& done) {
    return WaitUntil(
        [&] {
            service.OnPass(Pass(rows));
            return done();
        },
        20s);
}

std::unique_ptr<CMqttService> StartService(const std::string& broker, const std::string& name,
                                           CWarnings& warnings,
                                           const std::string& user = std::string(),
                                           const std::string& passwordFile = std::string()) {
    MqttOptions options;
    options.broker = broker;
    options.stationName = name;
    options.user = user;
    options.passwordFile = passwordFile;
    options.warn = warnings.Sink();
    std::string error;
    std::unique_ptr<CMqttService> service = CMqttService::Start(options, error);
    EXPECT_TRUE(service) << error;
    return service;
}

TEST(MqttServiceTest, RetainedStatusAndCardsAwaitASubscriberAndTheEndReadsOffline) {
    CTestBroker broker;
    CWarnings warnings;
    auto service = StartService(broker.HostPort(), "alpha", warnings);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->Prefix(), "orvane/alpha");
    std::vector<CardState> rows = {Row(1, STATUS_MODE_RUNNING),
                                   Row(2, STATUS_BUSY_SESSION, 12345678, SERVICE_DATA)};
    service->OnRunStarted(Info(rows));
    CSubscriber early(broker, "orvane/alpha/card/#");
    ASSERT_TRUE(
        PassUntil(*service, rows, [&] { return early.On("orvane/alpha/card/2").size() == 1; }));

    // Subscribed after the fact: only what is retained arrives.
    CSubscriber late(broker, "orvane/alpha/#");
    ASSERT_TRUE(late.WaitLast("orvane/alpha/card/2", "\"mes_id\":12345678"));
    ASSERT_TRUE(late.WaitLast("orvane/alpha/card/1", "\"number\":1"));
    for (const std::string topic :
         {"orvane/alpha/status", "orvane/alpha/card/1", "orvane/alpha/card/2"}) {
        EXPECT_TRUE(late.Last(topic)->retained) << topic;
    }
    EXPECT_EQ(late.Last("orvane/alpha/status")->payload, "online");
    EXPECT_TRUE(Has(late.Last("orvane/alpha/card/1")->payload,
                    "\"status\":\"Mode Running\",\"status_code\":3"));
    EXPECT_TRUE(Has(late.Last("orvane/alpha/card/1")->payload, "\"service\":null"));
    EXPECT_TRUE(Has(late.Last("orvane/alpha/card/2")->payload, "\"service\":\"Data\""));

    // The session on card 2 ends: card 2 is published again, card 1 is not.
    rows[1] = Row(2, STATUS_MODE_RUNNING);
    service->OnEvent(Event(StationEventKind::StatusChanged, 2));
    ASSERT_TRUE(PassUntil(*service, rows, [&] {
        return late.WaitLast("orvane/alpha/card/2", "\"status\":\"Mode Running\"", 0ms);
    }));
    EXPECT_EQ(early.On("orvane/alpha/card/1").size(), 1u);
    EXPECT_EQ(early.On("orvane/alpha/card/2").size(), 2u);

    service.reset();  // the end of the run
    EXPECT_TRUE(late.WaitLast("orvane/alpha/status", "offline"));
    CSubscriber after(broker, "orvane/alpha/status");
    ASSERT_TRUE(after.WaitLast("orvane/alpha/status", "offline"));
    EXPECT_TRUE(after.Last("orvane/alpha/status")->retained);
    EXPECT_TRUE(warnings.Lines().empty());
}

TEST(MqttServiceTest, ABrokerAwayAtTheStartAndRestartedMidRunGetsEverythingAgain) {
    CTestBroker broker(std::nullopt, CTestBroker::Kind::Persistent);
    broker.Stop();
    CWarnings warnings;
    // Not there at the start: a warning, not an error.
    auto service = StartService(broker.HostPort(), "beta", warnings);
    ASSERT_TRUE(service);
    EXPECT_TRUE(Warned(warnings, "cannot reach the broker at " + broker.HostPort()));
    std::vector<CardState> rows = {Row(1, STATUS_MODE_RUNNING), Row(2, STATUS_MODE_RUNNING)};
    service->OnRunStarted(Info(rows));
    service->OnPass(Pass(rows));

    ASSERT_TRUE(broker.Start());
    // A durable subscriber: what comes while the broker restarts waits for it.
    CSubscriber watcher(broker, "orvane/beta/#", "", "", "beta-watcher");
    ASSERT_TRUE(PassUntil(*service, rows, [&] {
        return watcher.WaitLast("orvane/beta/card/2", "\"number\":2", 0ms);
    }));
    ASSERT_TRUE(watcher.WaitLast("orvane/beta/status", "online"));

    broker.Stop();
    EXPECT_TRUE(Warned(warnings, "lost the broker at " + broker.HostPort()));
    // The station goes on meanwhile; its session start waits in the queue.
    rows[0] = Row(1, STATUS_BUSY_SESSION, 777, SERVICE_DATA);
    service->OnEvent(Event(StationEventKind::StatusChanged, 1, 777));
    service->OnEvent(Event(StationEventKind::SessionFollowed, 1, 777));
    service->OnPass(Pass(rows));
    ASSERT_TRUE(broker.Start());

    EXPECT_TRUE(watcher.WaitLast("orvane/beta/session", "\"mes_id\":777"));
    // Card 2 did not change: it is heard again because the connection is new.
    EXPECT_TRUE(
        PassUntil(*service, rows, [&] { return watcher.On("orvane/beta/card/2").size() >= 2; }));
    EXPECT_TRUE(watcher.WaitLast("orvane/beta/card/1", "\"status\":\"Busy Session\""));
    EXPECT_EQ(watcher.Last("orvane/beta/status")->payload, "online");
    EXPECT_TRUE(Warned(warnings, "connected to the broker at " + broker.HostPort()));
}

TEST(MqttServiceTest, LogsInWithTheUserAndTheFirstLineOfThePasswordFile) {
    CTestBroker broker(CTestBroker::Login{"station", "s3cret"});
    const std::string good = broker.Dir() + "/good";
    const std::string wrong = broker.Dir() + "/wrong";
    std::ofstream(good) << "s3cret\nnot this line\n";
    std::ofstream(wrong) << "guess\n";
    CSubscriber watcher(broker, "orvane/#", "station", "s3cret");

    CWarnings goodWarnings;
    CWarnings wrongWarnings;
    auto admitted = StartService(broker.HostPort(), "good", goodWarnings, "station", good);
    auto refused = StartService(broker.HostPort(), "wrong", wrongWarnings, "station", wrong);
    ASSERT_TRUE(admitted && refused);
    EXPECT_TRUE(watcher.WaitLast("orvane/good/status", "online"));
    EXPECT_TRUE(Warned(wrongWarnings, "refused the connection"));
    EXPECT_TRUE(watcher.On("orvane/wrong/status").empty());
    EXPECT_TRUE(goodWarnings.Lines().empty());

    MqttOptions missing;
    missing.broker = broker.HostPort();
    missing.user = "station";
    missing.passwordFile = broker.Dir() + "/absent";
    std::string error;
    EXPECT_FALSE(CMqttService::Start(missing, error));
    EXPECT_EQ(error, "cannot read the MQTT password file " + missing.passwordFile);
}

TEST(MqttServiceTest, SpeaksTlsToABrokerSignedByTheCaFileOnly) {
    CTestBroker broker(std::nullopt, CTestBroker::Kind::Tls);
    CSubscriber watcher(broker, "orvane/#");  // on the plain listener
    const std::string tlsBroker = broker.Address() + ":" + std::to_string(broker.TlsPort());
    CWarnings warnings;
    MqttOptions options;
    options.broker = tlsBroker;
    options.stationName = "trusted";
    options.caFile = broker.CaFile();
    options.warn = warnings.Sink();
    std::string error;
    auto trusted = CMqttService::Start(options, error);
    options.stationName = "doubting";
    options.caFile = broker.MakeCa("other");
    auto doubting = CMqttService::Start(options, error);
    ASSERT_TRUE(trusted && doubting) << error;
    EXPECT_TRUE(watcher.WaitLast("orvane/trusted/status", "online"));
    EXPECT_TRUE(Warned(warnings, "cannot reach the broker at " + tlsBroker));
    EXPECT_TRUE(watcher.On("orvane/doubting/status").empty());

    options.caFile = broker.Dir() + "/absent.pem";
    EXPECT_FALSE(CMqttService::Start(options, error));
    EXPECT_EQ(error, "cannot read the broker's CA file " + options.caFile);
}

// Two ways a TLS broker ends a connection that the library's own network
// thread never recovers from: it dies outright, or it comes back with a
// certificate the CA file did not sign. The station tries until it is back.
TEST(MqttServiceTest, ATlsBrokerThatDiedOrCameBackUntrustedIsTriedUntilItIsBack) {
    CTestBroker broker(std::nullopt, CTestBroker::Kind::Tls);
    CWarnings warnings;
    MqttOptions options;
    options.broker = broker.Address() + ":" + std::to_string(broker.TlsPort());
    options.stationName = "gamma";
    options.caFile = broker.CaFile();
    options.warn = warnings.Sink();
    std::string error;
    auto service = CMqttService::Start(options, error);
    ASSERT_TRUE(service) << error;
    auto online = [&broker] {
        // The broker keeps nothing across a restart: "online" is the station's anew.
        CSubscriber watcher(broker, "orvane/gamma/status");
        return watcher.WaitLast("orvane/gamma/status", "online", 30s);
    };
    ASSERT_TRUE(online());

    broker.Kill();
    EXPECT_TRUE(Warned(warnings, "lost the broker at " + options.broker));
    ASSERT_TRUE(broker.Start());
    EXPECT_TRUE(online());

    broker.Stop();
    broker.MakeCa("other");
    broker.SignServerWith("other");
    ASSERT_TRUE(broker.Start());
    EXPECT_TRUE(WaitUntil([&] { return Has(broker.Log(), "alert unknown ca"); }, 20s));
    broker.Stop();
    broker.SignServerWith("ca");
    ASSERT_TRUE(broker.Start());
    EXPECT_TRUE(online());
}

TEST(MqttServiceTest, ABrokerThatNeverAnswersCostsTheStationOnlyTheOldestEvents) {
    // Takes connections into its backlog and never says a word.
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&at), &length);
    CWarnings warnings;
    auto service =
        StartService("127.0.0.1:" + std::to_string(ntohs(at.sin_port)), "delta", warnings);
    ASSERT_TRUE(service);

    const std::vector<CardState> rows = {Row(1, STATUS_MODE_RUNNING)};
    service->OnRunStarted(Info(rows));
    constexpr uint64_t EVENTS = 2 * MQTT_QUEUE_CAPACITY;
    for (uint64_t i = 0; i < EVENTS; ++i) {
        service->OnEvent(Event(StationEventKind::SessionFollowed, 1, static_cast<int32_t>(i)));
        service->OnPass(Pass(rows));
    }
    // The worker holds at most one event while it waits for the broker.
    EXPECT_GE(service->Dropped(), EVENTS - MQTT_QUEUE_CAPACITY - 1);
    EXPECT_LE(service->Dropped(), EVENTS - MQTT_QUEUE_CAPACITY);
    EXPECT_EQ(warnings.Count("the oldest are dropped", CLineLog::Match::Part), 1u);

    const auto exitStart = std::chrono::steady_clock::now();
    service.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - exitStart, 5s);
    close(silent);
}

}  // namespace
