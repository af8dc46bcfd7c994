// A real broker for the tests and a subscriber that records what it hears.
//
// The broker is Debian's mosquitto, started by the test itself with its own
// configuration file on a random loopback address and a free port, so tests
// run side by side and nothing depends on a broker of the machine.
#pragma once

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/AppTestSupport.h"
#include "support/TempFiles.h"

namespace mqtttest {

using namespace std::chrono_literals;
using apptest::CChildProcess;
using apptest::WaitUntil;

inline const char* MosquittoPath() {
    const char* path = std::getenv("ORVANE_TEST_MOSQUITTO");
    return path != nullptr ? path : "/usr/sbin/mosquitto";
}

// True when something accepts connections on address:port.
inline bool Accepts(const std::string& address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    const bool open = connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    close(fd);
    return open;
}

class CTestBroker {
public:
    struct Login {
        std::string user;
        std::string password;
    };

    enum class Kind {
        Plain,
        Persistent,  // keeps durable sessions across its restarts
        Tls,         // a second listener, TLS with a certificate signed by CaFile()
    };

    // With a login, only that user gets in.
    explicit CTestBroker(std::optional<Login> login = std::nullopt, Kind kind = Kind::Plain)
        : m_login(std::move(login)), m_kind(kind) {
        std::mt19937 random{std::random_device{}()};
        for (int attempt = 0; attempt < 20; ++attempt) {
            m_address = apptest::RandomLoopbackAddress();
            m_port = std::uniform_int_distribution<int>(20000, 59999)(random);
            WriteConfig();
            if (Start()) {
                return;
            }
        }
        ADD_FAILURE() << "no test broker could start";
    }
    ~CTestBroker() { Stop(); }

    CTestBroker(const CTestBroker&) = delete;
    CTestBroker& operator=(const CTestBroker&) = delete;

    // Starts the broker on its address and port, again after Stop.
    bool Start() {
        if (Accepts(m_address, m_port) || (m_kind == Kind::Tls && Accepts(m_address, TlsPort()))) {
            return false;  // taken by someone else
        }
        m_process = std::make_unique<CChildProcess>(
            std::vector<std::string>{MosquittoPath(), "-c", Config()}, m_dir.Path(),
            "broker" + std::to_string(++m_runs));
        const bool up = WaitUntil(
            [this] { return Accepts(m_address, m_port) || m_process->Wait(0ms).has_value(); }, 10s);
        return up && !m_process->Wait(0ms).has_value();
    }
    // Ends the broker as a service stop does (its clients lose the connection).
    void Stop() { End(SIGTERM); }
    // Ends it as a crash does: connections end without a word.
    void Kill() { End(SIGKILL); }
    // What the running broker has logged.
    std::string Log() const { return m_process ? m_process->Stderr() : std::string(); }

    const std::string& Address() const { return m_address; }
    int Port() const { return m_port; }
    std::string HostPort() const { return m_address + ":" + std::to_string(m_port); }
    std::string Dir() const { return m_dir.Path(); }
    int TlsPort() const { return m_port + 1; }
    std::string CaFile() const { return m_dir.Path() + "/ca.pem"; }

    // Makes a certificate authority (CA.pem, CA.key) in the broker's folder.
    std::string MakeCa(const std::string& name) const {
        const std::string base = m_dir.Path() + "/" + name;
        Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=" +
            name + " -keyout " + base + ".key -out " + base + ".pem");
        return base + ".pem";
    }

    // A TLS broker's next start shows its certificate signed by the CA that
    // MakeCa(`ca`) made ("ca": the one CaFile() holds).
    void SignServerWith(const std::string& ca) const {
        const std::string dir = m_dir.Path();
        Run("openssl x509 -req -days 2 -in " + dir + "/server.csr -CA " + dir + "/" + ca +
            ".pem -CAkey " + dir + "/" + ca + ".key -CAcreateserial -extfile " + dir +
            "/san -out " + dir + "/server.pem");
    }

private:
    std::string Config() const { return m_dir.Path() + "/mosquitto.conf"; }

    void End(int signal) {
        if (m_process) {
            m_process->Signal(signal);
            m_process->Wait(10s);
            m_process.reset();
        }
    }

    static void Run(const std::string& command) {
        EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    }

    void WriteConfig() {
        std::ofstream config(Config());
        if (m_kind == Kind::Tls) {
            // The server's certificate names the address, as the client checks it.
            const std::string dir = m_dir.Path();
            MakeCa("ca");
            std::ofstream(dir + "/san") << "subjectAltName=IP:" << m_address << "\n";
            Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" +
                m_address + " -keyout " + dir + "/server.key -out " + dir + "/server.csr");
            SignServerWith("ca");
            config << "listener " << TlsPort() << " " << m_address << "\ncafile " << dir
                   << "/ca.pem\ncertfile " << dir << "/server.pem\nkeyfile " << dir
                   << "/server.key\n";
        }
        config << "listener " << m_port << " " << m_address << "\n"
               << "log_dest stderr\n"
               // Run as root, the broker would otherwise become another user,
               // who cannot read this folder.
               << "user " << getpwuid(getuid())->pw_name << "\n"
               << (m_kind == Kind::Persistent
                       ? "persistence true\npersistence_location " + m_dir.Path() + "/\n"
                       : "persistence false\n");
        if (!m_login) {
            config << "allow_anonymous true\n";
            return;
        }
        const std::string passwords = m_dir.Path() + "/passwords";
        const std::string command = "mosquitto_passwd -c -b " + passwords + " " + m_login->user +
                                    " " + m_login->password + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        config << "allow_anonymous false\npassword_file " << passwords << "\n";
    }

    CTempDir m_dir{"orvane-broker"};
    std::optional<Login> m_login;
    Kind m_kind = Kind::Plain;
    std::string m_address;
    int m_port = 0;
    int m_runs = 0;
    std::unique_ptr<CChildProcess> m_process;
};

struct Heard {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// Subscribes to `filter` (QoS 1) and records every message, on the
// library's network thread; the test reads copies.
class CSubscriber {
public:
    // With a `durableId` the subscriber keeps a durable session under that id:
    // what comes while it is away waits for it at the broker.
    explicit CSubscriber(const CTestBroker& broker, std::string filter = "#",
                         const std::string& user = std::string(),
                         const std::string& password = std::string(),
                         const std::string& durableId = std::string())
        : m_filter(std::move(filter)) {
        mosquitto_lib_init();
        const bool durable = !durableId.empty();
        m_mosq = mosquitto_new(durable ? durableId.c_str() : nullptr, !durable, this);
        if (!user.empty()) {
            mosquitto_username_pw_set(m_mosq, user.c_str(), password.c_str());
        }
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        // A durable session that the broker kept is still subscribed; subscribing
        // again would replay the retained messages.
        mosquitto_connect_with_flags_callback_set(
            m_mosq, [](mosquitto* mosq, void* self, int result, int flags) {
                auto& me = *static_cast<CSubscriber*>(self);
                if (result == 0 && (flags & 1) == 0) {
                    mosquitto_subscribe(mosq, nullptr, me.m_filter.c_str(), 1);
                }
            });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
            auto& me = *static_cast<CSubscriber*>(self);
            std::lock_guard guard(me.m_lock);
            ++me.m_subscriptions;
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto& me = *static_cast<CSubscriber*>(self);
                std::lock_guard guard(me.m_lock);
                me.m_heard.push_back({message->topic,
                                      std::string(static_cast<const char*>(message->payload),
                                                  static_cast<size_t>(message->payloadlen)),
                                      message->retain});
            });
        mosquitto_loop_start(m_mosq);
        mosquitto_connect_async(m_mosq, broker.Address().c_str(), broker.Port(), 30);
        EXPECT_TRUE(WaitUntil([this] { return Subscriptions() > 0; }, 10s));
    }
    ~CSubscriber() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    CSubscriber(const CSubscriber&) = delete;
    CSubscriber& operator=(const CSubscriber&) = delete;

    int Subscriptions() const {
        std::lock_guard guard(m_lock);
        return m_subscriptions;
    }
    std::vector<Heard> All() const {
        std::lock_guard guard(m_lock);
        return m_heard;
    }
    std::vector<Heard> On(const std::string& topic) const {
        std::vector<Heard> found;
        for (const Heard& heard : All()) {
            if (heard.topic == topic) {
                found.push_back(heard);
            }
        }
        return found;
    }
    // The payloads heard on `topic`, in order.
    std::vector<std::string> Payloads(const std::string& topic) const {
        std::vector<std::string> payloads;
        for (const Heard& heard : On(topic)) {
            payloads.push_back(heard.payload);
        }
        return payloads;
    }
    std::optional<Heard> Last(const std::string& topic) const {
        const std::vector<Heard> found = On(topic);
        return found.empty() ? std::nullopt : std::optional<Heard>(found.back());
    }
    // Waits until the last payload on `topic` contains `part`.
    bool WaitLast(const std::string& topic, const std::string& part,
                  std::chrono::milliseconds limit = 20s) const {
        return WaitUntil(
            [&] {
                const std::optional<Heard> last = Last(topic);
                return last && last->payload.find(part) != std::string::npos;
            },
            limit);
    }

private:
    const std::string m_filter;
    mosquitto* m_mosq = nullptr;
    mutable std::mutex m_lock;
    int m_subscriptions = 0;
    std::vector<Heard> m_heard;
};

inline bool Has(const std::string& payload, const std::string& part) {
    return payload.find(part) != std::string::npos;
}

}  // namespace mqtttest
