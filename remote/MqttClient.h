// The station's one connection to an MQTT broker, over libmosquitto, whose
// loop runs on a network thread of this client's own.
//
//   Start ──> first attempt; network thread: connect ──CONNACK──> "online"
//             (retained) on the status topic; "offline" is the last will, so
//             a station that dies reads offline
//             no connection, for any reason ──> tries again 1 s, 2 s, ... 60 s
//             apart, until Stop
//   worker ──WaitReady, Publish──> library's queue ──> broker
//   Stop  ──> "offline" (retained), waits for the broker's ack within the
//             close deadline, disconnects, ends the network thread
//
// Why not the library's own thread (mosquitto_loop_start): it ends for good
// after errors it holds fatal, such as a broker over TLS that dies outright
// or comes back with a certificate that does not verify, and a station must
// never stop trying. So the network thread runs the library's loop one step
// at a time and makes every new attempt itself.
//
// Threads: Start, BeginClose and Stop on the thread that owns the client;
// WaitReady and Publish on one worker thread; the library calls back on the
// network thread. Nothing here is ever called on the dispatch thread, and
// only WaitReady and Stop wait.
//
// Every message is QoS 1. The library queues without a bound, so the client
// keeps at most MQTT_MAX_UNACKNOWLEDGED messages in its hands: WaitReady holds
// the worker while there are more, or while there is no connection, and the
// worker's own bounded queue takes the backlog.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

struct mosquitto;

constexpr int MQTT_DEFAULT_PORT = 1883;
constexpr size_t MQTT_MAX_UNACKNOWLEDGED = 1000;

struct MqttConnection {
    std::string host;
    int port = MQTT_DEFAULT_PORT;
    std::string clientId;
    std::string user;      // empty: no user name
    std::string password;  // with `user` only
    std::string caFile;    // empty: plain TCP; else TLS, the broker checked against it
    std::string statusTopic;
    std::string onlineText = "online";
    std::string offlineText = "offline";
    int keepAliveSeconds = 30;
    unsigned reconnectMinSeconds = 1;
    unsigned reconnectMaxSeconds = 60;
};

class CMqttClient {
public:
    // Receives the client's warnings, one line each (no broker at start, a
    // refused log-in, a lost connection and its return). Called on the
    // network thread or the owner's.
    using WarnFn = std::function<void(const std::string& text)>;

    CMqttClient(MqttConnection connection, WarnFn warn);
    // Stop, if it has not run.
    ~CMqttClient();

    CMqttClient(const CMqttClient&) = delete;
    CMqttClient& operator=(const CMqttClient&) = delete;

    // Sets the library up, makes the first attempt and starts the network
    // thread: a broker that is not there yet is a warning. False with `error`
    // set when the settings cannot be used (a CA file that cannot be read, a
    // library that cannot start). Once.
    bool Start(std::string& error);

    // Waits until the client is connected with room for one more message.
    // False when it is closing and cannot have that by the close deadline.
    bool WaitReady();

    enum class Sent {
        Handed,        // the library has it and delivers it, across reconnects
        NoConnection,  // wait with WaitReady and try again
        Refused,       // the library will never take this message
    };
    Sent Publish(const std::string& topic, const std::string& payload, bool retain);

    // True when `topic` may be published to (no wildcards, not empty, UTF-8).
    static bool ValidTopic(const std::string& topic);

    bool Connected() const;
    // Connections made so far; a new one means the broker may have forgotten
    // what was published before (a restarted broker without persistence).
    uint64_t Connections() const;

    // From now on nothing waits beyond `deadline`: WaitReady gives up, and so
    // does Stop's wait for the broker's ack.
    void BeginClose(std::chrono::steady_clock::time_point deadline);
    // Publishes "offline" when connected, disconnects and ends the network
    // thread. Idempotent.
    void Stop();

private:
    static void OnConnect(mosquitto* mosq, void* self, int result);
    static void OnDisconnect(mosquitto* mosq, void* self, int result);
    static void OnPublish(mosquitto* mosq, void* self, int messageId);
    static void OnLog(mosquitto* mosq, void* self, int level, const char* text);

    // The network thread: the library's loop while there is a connection, a
    // new attempt after the growing delay whenever there is none.
    void Run();
    // Waits the delay before the next attempt; false when Stop ends the wait.
    bool WaitBeforeAttempt();
    // Stop has begun and the close deadline has passed.
    bool StopDue() const;
    // An attempt failed before it reached the broker: a warning, once an outage.
    void AttemptFailed(int result);

    bool ReadyLocked() const;
    std::string Where() const;
    void Warn(const std::string& text) const;

    const MqttConnection m_connection;
    const WarnFn m_warn;
    mosquitto* m_mosq = nullptr;  // the owner's thread creates and destroys it
    std::thread m_thread;         // the network thread

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_connected = false;
    uint64_t m_connections = 0;
    // A publish found this connection gone before the library said so: not
    // ready until the next one.
    uint64_t m_lostConnection = 0;
    size_t m_unacknowledged = 0;
    bool m_closing = false;
    std::chrono::steady_clock::time_point m_deadline;
    std::set<int> m_acknowledgedWhileClosing;  // message ids; a few at most
    bool m_troubleTold = false;                // a warning about the current outage was given
    bool m_stopping = false;                   // the network thread is to end
    unsigned m_attempts = 0;                   // failed attempts since the last connection
};
