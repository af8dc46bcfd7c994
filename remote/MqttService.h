// The broker service of a run: the client, the publisher and the bounded
// queue between the dispatch thread and them, as one observer for the run's
// operations.
//
//   dispatch thread ──OnEvent/OnPass──> [ queue, at most 10,000 events ]
//        ──worker──> CMqttPublisher ──> CMqttClient ──network thread──> broker
//
// The dispatch thread only copies into the queue. When the queue is full
// the oldest event is dropped and counted, and one warning says so. At the
// end of the run what is queued still goes out while the broker takes it,
// within a few seconds at most; then "offline", and the connection ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/AsyncObserver.h"
#include "remote/MqttClient.h"

constexpr size_t MQTT_QUEUE_CAPACITY = 10000;

struct MqttOptions {
    std::string broker;        // HOST[:PORT]
    std::string prefix;        // the topics' prefix; empty: "orvane/" + the station's name
    std::string stationName;   // empty: this computer's host name
    std::string user;          // empty: none
    std::string passwordFile;  // its first line is the password
    std::string caFile;        // TLS against this CA; empty: plain TCP
    size_t queueCapacity = MQTT_QUEUE_CAPACITY;
    // Receives the warnings, one line each; empty: standard error.
    CMqttClient::WarnFn warn;
};

// "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT". False when the host is
// missing or the port is not 1 to 65535.
bool ParseBrokerAddress(const std::string& text, std::string& host, int& port);

// This computer's host name; "station" when it has none.
std::string StationHostName();

class CMqttService final : public CStationObserver {
public:
    // Reads the password file, checks the topics and starts the client,
    // whose first attempt runs on its own thread: a broker that cannot be
    // reached is a warning, later. Nothing, with `error` set, when the
    // options cannot be used.
    static std::unique_ptr<CMqttService> Start(const MqttOptions& options, std::string& error);

    // Delivers what is queued while the broker takes it, publishes
    // "offline" and ends the connection, all within a few seconds.
    ~CMqttService() override;

    CMqttService(const CMqttService&) = delete;
    CMqttService& operator=(const CMqttService&) = delete;

    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void OnPass(const StationPass& pass) override;
    void OnRunStopped() override;

    const std::string& Prefix() const { return m_prefix; }
    // Events dropped because the queue was full.
    uint64_t Dropped() const;

private:
    CMqttService() = default;

    std::string m_prefix;
    std::unique_ptr<CMqttClient> m_client;
    std::unique_ptr<CAsyncObserver> m_queue;  // its worker uses the client
};
