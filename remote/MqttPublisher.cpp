// What goes to the broker: the session topic's events as JSON, and the retained card topics,
// published after each change and again on every new connection.
#include "remote/MqttPublisher.h"

#include <algorithm>
#include <utility>

#include "core/EventText.h"
#include "remote/CardJson.h"
#include "remote/Json.h"
#include "remote/MqttClient.h"
#include "resources/OrvaneTypes.h"

namespace {

CJsonObject EventHead(const char* name, const StationEvent& event) {
    CJsonObject json;
    json.String("event", name)
        .Number("card", event.card)
        .Number("serial", event.serialNumber)
        .String("time", IsoLocalTime(event.wallTime));
    return json;
}

void AddSession(CJsonObject& json, const StationEvent& event) {
    const std::string service = ServiceText(event.service);
    json.Number("mes_id", event.mesId).StringOrNull("service", !service.empty(), service);
}

}  // namespace

std::string SessionEventJson(const StationEvent& event) {
    switch (event.kind) {
        case StationEventKind::SessionFollowed: {
            CJsonObject json = EventHead("session start", event);
            AddSession(json, event);
            return json.Boolean("followed", true).Text();
        }
        case StationEventKind::SessionRefused: {
            CJsonObject json = EventHead("session start", event);
            AddSession(json, event);
            return json.Boolean("followed", false)
                .String("reason", RefusalText(event.reason, event.heldBy))
                .String("action", RefusalActionText(event.action))
                .Text();
        }
        case StationEventKind::SessionEnded: {
            CJsonObject json = EventHead("session end", event);
            AddSession(json, event);
            return json.Number("duration_seconds", event.value)
                .String("cause", SessionEndText(event.reason))
                .Text();
        }
        case StationEventKind::LinkUp:
            return EventHead("link up", event).Text();
        case StationEventKind::LinkDown: {
            const std::string reason = LinkNoteText(event.reason);
            return EventHead("link down", event)
                .StringOrNull("reason", !reason.empty(), reason)
                .Text();
        }
        default:
            return std::string();
    }
}

CMqttPublisher::CMqttPublisher(CMqttClient& client, std::string prefix)
    : m_client(client), m_prefix(std::move(prefix)), m_sessionTopic(m_prefix + "/session") {}

bool CMqttPublisher::Wants(const StationEvent& event) {
    switch (event.kind) {
        case StationEventKind::StatusChanged:
        case StationEventKind::SessionFollowed:
        case StationEventKind::SessionRefused:
        case StationEventKind::SessionEnded:
        case StationEventKind::LinkUp:
        case StationEventKind::LinkDown:
            return true;
        default:
            return false;
    }
}

void CMqttPublisher::OnRunStarted(const StationInfo& info) {
    m_cards.assign(info.cards.size(), Shown{});
}

void CMqttPublisher::OnEvent(const StationEvent& event) {
    if (event.kind == StationEventKind::StatusChanged) {
        if (event.card >= 1 && static_cast<size_t>(event.card) <= m_cards.size()) {
            m_cards[static_cast<size_t>(event.card - 1)].changed = true;
        }
        return;
    }
    const std::string payload = SessionEventJson(event);
    if (payload.empty()) {
        return;
    }
    // Dropped only when the station closes without a broker to take it.
    while (m_client.WaitReady()) {
        if (m_client.Publish(m_sessionTopic, payload, false) != CMqttClient::Sent::NoConnection) {
            return;
        }
    }
}

void CMqttPublisher::OnPass(const StationPass& pass) {
    if (pass.snapshot && m_client.Connected()) {
        PublishCards(*pass.snapshot);
    }
}

std::string CMqttPublisher::CardTopic(size_t number) const {
    return m_prefix + "/card/" + std::to_string(number);
}

bool CMqttPublisher::Send(const std::string& topic, const std::string& payload, bool retain) {
    return m_client.WaitReady() &&
           m_client.Publish(topic, payload, retain) != CMqttClient::Sent::NoConnection;
}

void CMqttPublisher::PublishCards(const StationSnapshot& snapshot) {
    const uint64_t connection = m_client.Connections();
    const bool all = connection != m_cardsConnection;
    const size_t count = std::min(snapshot.rows.size(), snapshot.counters.size());
    if (m_cards.size() < count) {
        m_cards.resize(count);
    }
    for (size_t i = 0; i < count; ++i) {
        const CardState& row = snapshot.rows[i];
        Shown& shown = m_cards[i];
        const bool differs = !shown.published || shown.status != row.status ||
                             shown.mesId != row.mesId || shown.service != row.service;
        if (!all && !shown.changed && !differs) {
            continue;
        }
        // What is not sent now stays marked for the next pass or connection.
        if (!Send(CardTopic(i + 1), CardJson(row, snapshot.counters[i], snapshot.wallTimeMs),
                  true)) {
            return;
        }
        shown = Shown{true, false, row.status, row.mesId, row.service};
    }
    if (!all) {
        return;
    }
    // A card the configuration no longer has must not go on showing its
    // last state: an empty retained message clears the topic, once a run.
    for (size_t number = count + 1; !m_cleared && number <= static_cast<size_t>(MAX_CARDS);
         ++number) {
        if (!Send(CardTopic(number), std::string(), true)) {
            return;
        }
    }
    m_cleared = true;
    m_cardsConnection = connection;
}
