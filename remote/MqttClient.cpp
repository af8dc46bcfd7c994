// The broker client: a network thread that runs libmosquitto's loop step by step and makes each new
// attempt itself, the bound on unacknowledged messages, and the close. MqttClient.h draws it.
#include "remote/MqttClient.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

// The library's global set-up, once per process; it is never undone, since
// another client may still be running when one ends.
void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

constexpr std::chrono::milliseconds DEFAULT_CLOSE_WAIT{1000};
// The longest the network thread waits in the library's loop at a time, and
// so how late it may notice a stop that came while it made an attempt.
constexpr int LOOP_WAIT_MS = 1000;

// The delay before attempt `failed` + 1: `low` seconds more each time, at most `high`.
std::chrono::seconds ReconnectDelay(unsigned failed, unsigned low, unsigned high) {
    const uint64_t grown = static_cast<uint64_t>(low) * (failed + 1ULL);
    return std::chrono::seconds(std::min<uint64_t>(grown, high));
}

}  // namespace

CMqttClient::CMqttClient(MqttConnection connection, WarnFn warn)
    : m_connection(std::move(connection)), m_warn(std::move(warn)) {}

CMqttClient::~CMqttClient() {
    Stop();
}

bool CMqttClient::Start(std::string& error) {
    InitLibrary();
    m_mosq = mosquitto_new(m_connection.clientId.c_str(), true, this);
    if (m_mosq == nullptr) {
        error = "the MQTT client could not be created";
        return false;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Events are small and wanted at once.
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m_mosq, OnConnect);
    mosquitto_disconnect_callback_set(m_mosq, OnDisconnect);
    mosquitto_publish_callback_set(m_mosq, OnPublish);
    mosquitto_log_callback_set(m_mosq, OnLog);
    const std::string& offline = m_connection.offlineText;
    if (mosquitto_will_set(m_mosq, m_connection.statusTopic.c_str(),
                           static_cast<int>(offline.size()), offline.data(), 1,
                           true) != MOSQ_ERR_SUCCESS) {
        error = "the MQTT status topic " + m_connection.statusTopic + " is not valid";
        return false;
    }
    if (!m_connection.user.empty() &&
        mosquitto_username_pw_set(
            m_mosq, m_connection.user.c_str(),
            m_connection.password.empty() ? nullptr : m_connection.password.c_str()) !=
            MOSQ_ERR_SUCCESS) {
        error = "the MQTT user name is not valid";
        return false;
    }
    if (!m_connection.caFile.empty()) {
        if (access(m_connection.caFile.c_str(), R_OK) != 0 ||
            mosquitto_tls_set(m_mosq, m_connection.caFile.c_str(), nullptr, nullptr, nullptr,
                              nullptr) != MOSQ_ERR_SUCCESS) {
            error = "cannot read the broker's CA file " + m_connection.caFile;
            return false;
        }
    }
    // The network thread is ours, the library is told so: what the worker
    // publishes is queued for that thread, which it wakes.
    mosquitto_threaded_set(m_mosq, true);
    const int result = mosquitto_connect_async(m_mosq, m_connection.host.c_str(), m_connection.port,
                                               m_connection.keepAliveSeconds);
    if (result != MOSQ_ERR_SUCCESS) {
        AttemptFailed(result);
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CMqttClient::Run() {
    for (;;) {
        if (mosquitto_loop(m_mosq, LOOP_WAIT_MS, 1) == MOSQ_ERR_SUCCESS) {
            if (StopDue()) {
                return;  // a connection Stop could not end in time; destroying it will
            }
            continue;
        }
        // No connection: lost, refused, failed in its handshake, never made,
        // or ended by Stop.
        if (!WaitBeforeAttempt()) {
            return;
        }
        const int result = mosquitto_reconnect_async(m_mosq);
        if (result != MOSQ_ERR_SUCCESS) {
            AttemptFailed(result);
        }
    }
}

bool CMqttClient::WaitBeforeAttempt() {
    std::unique_lock<std::mutex> lock(m_lock);
    const auto delay = ReconnectDelay(m_attempts++, m_connection.reconnectMinSeconds,
                                      m_connection.reconnectMaxSeconds);
    return !m_changed.wait_for(lock, delay, [this] { return m_stopping; });
}

bool CMqttClient::StopDue() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stopping && std::chrono::steady_clock::now() >= m_deadline;
}

void CMqttClient::AttemptFailed(int result) {
    bool tell = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        tell = !m_closing && !std::exchange(m_troubleTold, true);
    }
    if (tell) {
        Warn("cannot reach the broker at " + Where() + " (" + mosquitto_strerror(result) +
             "); the station runs on and tries again");
    }
}

bool CMqttClient::ReadyLocked() const {
    return m_connected && m_connections != m_lostConnection &&
           m_unacknowledged < MQTT_MAX_UNACKNOWLEDGED;
}

bool CMqttClient::WaitReady() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return ReadyLocked() || m_closing; });
    if (ReadyLocked() || !m_connected) {
        return ReadyLocked();
    }
    // Closing with a connection that is full: room may come before the end.
    return m_changed.wait_until(lock, m_deadline, [this] {
        return ReadyLocked() || !m_connected;
    }) && ReadyLocked();
}

CMqttClient::Sent CMqttClient::Publish(const std::string& topic, const std::string& payload,
                                       bool retain) {
    uint64_t connection = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_connected || m_mosq == nullptr) {
            return Sent::NoConnection;
        }
        connection = m_connections;
        // Counted before the library has it: its ack may come first.
        ++m_unacknowledged;
    }
    const int result =
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain);
    if (result == MOSQ_ERR_SUCCESS) {
        return Sent::Handed;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_unacknowledged -= m_unacknowledged > 0 ? 1 : 0;
    if (result == MOSQ_ERR_NO_CONN || result == MOSQ_ERR_CONN_LOST || result == MOSQ_ERR_ERRNO) {
        m_lostConnection = connection;
        return Sent::NoConnection;
    }
    return Sent::Refused;
}

bool CMqttClient::ValidTopic(const std::string& topic) {
    return mosquitto_pub_topic_check2(topic.c_str(), topic.size()) == MOSQ_ERR_SUCCESS &&
           mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) ==
               MOSQ_ERR_SUCCESS;
}

bool CMqttClient::Connected() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_connected;
}

uint64_t CMqttClient::Connections() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_connections;
}

void CMqttClient::BeginClose(std::chrono::steady_clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_closing) {
            m_closing = true;
            m_deadline = deadline;
        }
    }
    m_changed.notify_all();
}

void CMqttClient::Stop() {
    if (m_mosq == nullptr) {
        return;
    }
    BeginClose(std::chrono::steady_clock::now() + DEFAULT_CLOSE_WAIT);
    if (m_thread.joinable() && Connected()) {
        const std::string& offline = m_connection.offlineText;
        int id = 0;
        if (mosquitto_publish(m_mosq, &id, m_connection.statusTopic.c_str(),
                              static_cast<int>(offline.size()), offline.data(), 1,
                              true) == MOSQ_ERR_SUCCESS) {
            std::unique_lock<std::mutex> lock(m_lock);
            // Unanswered by the deadline, "offline" still goes out ahead of
            // the disconnect; only its ack is not waited for.
            m_changed.wait_until(lock, m_deadline, [this, id] {
                return m_acknowledgedWhileClosing.count(id) != 0 || !m_connected;
            });
        }
    }
    // Connected, the network thread sends the disconnect, then ends; else
    // it ends its wait for the next attempt at once.
    mosquitto_disconnect(m_mosq);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    std::lock_guard<std::mutex> guard(m_lock);
    m_connected = false;
}

void CMqttClient::OnConnect(mosquitto* mosq, void* self, int result) {
    auto& client = *static_cast<CMqttClient*>(self);
    bool recovered = false;
    bool tell = false;
    {
        std::lock_guard<std::mutex> guard(client.m_lock);
        if (result == 0) {
            client.m_connected = true;
            ++client.m_connections;
            // What the library held for the last connection is sent again
            // or lost; the count starts afresh.
            client.m_unacknowledged = 1;  // "online", below
            client.m_attempts = 0;
            recovered = std::exchange(client.m_troubleTold, false);
        } else {
            tell = !std::exchange(client.m_troubleTold, true);
        }
    }
    if (result != 0) {
        if (tell) {
            client.Warn("the broker at " + client.Where() + " refused the connection (" +
                        mosquitto_connack_string(result) + "); the station tries again");
        }
        return;
    }
    const std::string& online = client.m_connection.onlineText;
    mosquitto_publish(mosq, nullptr, client.m_connection.statusTopic.c_str(),
                      static_cast<int>(online.size()), online.data(), 1, true);
    client.m_changed.notify_all();
    if (recovered) {
        client.Warn("connected to the broker at " + client.Where());
    }
}

void CMqttClient::OnDisconnect(mosquitto* /*mosq*/, void* self, int result) {
    auto& client = *static_cast<CMqttClient*>(self);
    bool tell = false;
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> guard(client.m_lock);
        wasConnected = std::exchange(client.m_connected, false);
        if (result != 0 && !client.m_closing) {
            tell = !std::exchange(client.m_troubleTold, true);
        }
    }
    client.m_changed.notify_all();
    if (tell) {
        client.Warn((wasConnected ? "lost the broker at " : "cannot reach the broker at ") +
                    client.Where() + "; the station runs on and tries again");
    }
}

void CMqttClient::OnPublish(mosquitto* /*mosq*/, void* self, int messageId) {
    auto& client = *static_cast<CMqttClient*>(self);
    {
        std::lock_guard<std::mutex> guard(client.m_lock);
        client.m_unacknowledged -= client.m_unacknowledged > 0 ? 1 : 0;
        if (client.m_closing) {
            client.m_acknowledgedWhileClosing.insert(messageId);
        }
    }
    client.m_changed.notify_all();
}

void CMqttClient::OnLog(mosquitto* /*mosq*/, void* self, int level, const char* text) {
    // A failed TLS handshake ends an attempt without a disconnect callback;
    // the library's own error line is all there is to say why.
    if (level != MOSQ_LOG_ERR) {
        return;
    }
    auto& client = *static_cast<CMqttClient*>(self);
    bool tell = false;
    {
        std::lock_guard<std::mutex> guard(client.m_lock);
        if (!client.m_connected && !client.m_closing) {
            tell = !std::exchange(client.m_troubleTold, true);
        }
    }
    if (tell) {
        client.Warn("cannot reach the broker at " + client.Where() + " (" + text +
                    "); the station runs on and tries again");
    }
}

std::string CMqttClient::Where() const {
    const bool literal6 = m_connection.host.find(':') != std::string::npos;
    return (literal6 ? "[" + m_connection.host + "]" : m_connection.host) + ":" +
           std::to_string(m_connection.port);
}

void CMqttClient::Warn(const std::string& text) const {
    if (m_warn) {
        m_warn(text);
    }
}
