// What the station tells the broker, made on the worker thread of the MQTT
// queue (see CAsyncObserver) and handed to the client.
//
//   <prefix>/card/<n>  the card's JSON (CardJson), retained: after each pass
//                      that changed the card's status, MES ID or service, and
//                      every card again on each new connection; the topics of
//                      card numbers the station does not have are cleared once
//   <prefix>/session   one JSON event per session start (followed or refused,
//                      with the reason), session end (with its duration) and
//                      link change; not retained
//
// A session event waits for a connection (the worker stops; its bounded
// queue takes what comes meanwhile); a card waits for nothing, since the next
// connection publishes every card as it is then.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/StationObserver.h"

class CMqttClient;

// The session topic's payload for `event`; empty for a kind that has none.
std::string SessionEventJson(const StationEvent& event);

class CMqttPublisher final : public CStationObserver {
public:
    // `client` must outlive the publisher.
    CMqttPublisher(CMqttClient& client, std::string prefix);

    // The events the publisher needs (the queue's filter): cheap, for the
    // dispatch thread.
    static bool Wants(const StationEvent& event);

    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void OnPass(const StationPass& pass) override;

private:
    // What a card's topic shows now.
    struct Shown {
        bool published = false;
        bool changed = false;  // a status change came since it was published
        int32_t status = 0;
        int32_t mesId = 0;
        int32_t service = 0;
    };

    std::string CardTopic(size_t number) const;
    // Waits for room and publishes; false when the client is closing or the
    // message cannot be sent on the connection it waited for.
    bool Send(const std::string& topic, const std::string& payload, bool retain);
    void PublishCards(const StationSnapshot& snapshot);

    CMqttClient& m_client;
    const std::string m_prefix;
    const std::string m_sessionTopic;
    std::vector<Shown> m_cards;
    uint64_t m_cardsConnection = 0;  // the connection every card was published on
    bool m_cleared = false;          // the topics of cards beyond the last were cleared
};
