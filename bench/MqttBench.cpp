// bench_mqtt: how long a session start takes from a card host to a broker's
// subscriber on the same machine.
//
//   card host ──session start──> station (in this process, with its broker
//   service) ──> mosquitto (started here on a free loopback port) ──> subscriber
//
// Ten cards on three hosts; at ten sessions a second, at random moments, a
// host sends a session start, and the time runs until the subscriber receives
// the station's "session start" event with that MES ID. Each session ends
// five starts later.
//
// Prints one "name: value" line per figure. Exits 1 when the broker, the hosts
// or the station could not be started, or no event arrived.
//
//   bench_mqtt [--seconds N] [--mosquitto PATH]
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/InProcessHosts.h"
#include "bench/InProcessStation.h"
#include "bench/Percentile.h"
#include "bench/TenCards.h"
#include "cardhost/CardHost.h"
#include "remote/MqttService.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double SESSIONS_PER_SECOND = 10;
constexpr int SESSION_OVERLAP = 5;
constexpr uint32_t MES_ID_BASE = 40000000;
constexpr const char* PREFIX = "orvane/bench";

bool Accepts(const std::string& address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    const bool open = connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    close(fd);
    return open;
}

// A broker of its own, with its configuration in `folder`, ended with the object.
class CBroker {
public:
    bool Start(const std::string& mosquitto, const std::string& folder, std::mt19937& random) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            m_address = RandomLoopbackAddress(random);
            m_port = std::uniform_int_distribution<int>(20000, 59999)(random);
            if (Accepts(m_address, m_port)) {
                continue;
            }
            const std::string config = folder + "/mosquitto.conf";
            std::ofstream(config) << "listener " << m_port << " " << m_address
                                  << "\nallow_anonymous true\npersistence false\n";
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
            std::vector<std::string> args = {mosquitto, "-c", config};
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            const int spawned =
                posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            if (spawned != 0) {
                m_pid = -1;
                return false;
            }
            for (int wait = 0; wait < 500; ++wait) {
                if (Accepts(m_address, m_port)) {
                    return true;
                }
                if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                    m_pid = -1;
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            Stop();
        }
        return false;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    ~CBroker() { Stop(); }
    std::string HostPort() const { return m_address + ":" + std::to_string(m_port); }
    const std::string& Address() const { return m_address; }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    std::string m_address;
    int m_port = 0;
};

// Times each followed session start from its sending to its arrival here.
class CLatencySubscriber {
public:
    bool Start(const CBroker& broker) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_callback_set(m_mosq, OnMessage);
        if (mosquitto_connect(m_mosq, broker.Address().c_str(), broker.Port(), 30) !=
                MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(m_mosq, nullptr, (std::string(PREFIX) + "/session").c_str(), 1) !=
                MOSQ_ERR_SUCCESS) {
            return false;
        }
        return mosquitto_loop_start(m_mosq) == MOSQ_ERR_SUCCESS;
    }
    ~CLatencySubscriber() {
        if (m_mosq != nullptr) {
            mosquitto_disconnect(m_mosq);
            mosquitto_loop_stop(m_mosq, false);
            mosquitto_destroy(m_mosq);
        }
    }
    void Sent(int32_t mesId) {
        std::lock_guard guard(m_lock);
        m_pending[mesId] = SteadyClock::now();
    }
    std::vector<double> Latencies() const {
        std::lock_guard guard(m_lock);
        return m_ms;
    }
    size_t Missed() const {
        std::lock_guard guard(m_lock);
        return m_pending.size();
    }

private:
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
        const auto now = SteadyClock::now();
        auto& me = *static_cast<CLatencySubscriber*>(self);
        const std::string payload(static_cast<const char*>(message->payload),
                                  static_cast<size_t>(message->payloadlen));
        const size_t at = payload.find("\"mes_id\":");
        if (payload.find("\"followed\":true") == std::string::npos || at == std::string::npos) {
            return;
        }
        const auto mesId = static_cast<int32_t>(std::atol(payload.c_str() + at + 9));
        std::lock_guard guard(me.m_lock);
        const auto it = me.m_pending.find(mesId);
        if (it != me.m_pending.end()) {
            me.m_ms.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
            me.m_pending.erase(it);
        }
    }

    mosquitto* m_mosq = nullptr;
    mutable std::mutex m_lock;
    std::map<int32_t, SteadyClock::time_point> m_pending;
    std::vector<double> m_ms;
};

}  // namespace

int main(int argc, char** argv) {
    int seconds = 30;
    std::string mosquitto = "/usr/sbin/mosquitto";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--seconds") {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (name == "--mosquitto") {
            mosquitto = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: bench_mqtt [--seconds N] [--mosquitto PATH]\n");
            return 2;
        }
    }
    std::mt19937 random{std::random_device{}()};
    std::string folder = (std::filesystem::temp_directory_path() / "orvane-mqtt.XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::fprintf(stderr, "bench_mqtt: cannot create a scratch folder\n");
        return 1;
    }
    int status = 1;
    {
        CBroker broker;
        if (!broker.Start(mosquitto, folder, random)) {
            std::fprintf(stderr, "bench_mqtt: the broker %s did not start\n", mosquitto.c_str());
            std::filesystem::remove_all(folder);
            return 1;
        }
        CInProcessHosts running;
        if (!running.Start(random)) {
            std::fprintf(stderr, "bench_mqtt: no free loopback addresses for the hosts\n");
            std::filesystem::remove_all(folder);
            return 1;
        }
        const std::vector<BenchHost>& plan = running.plan;
        std::vector<std::unique_ptr<CCardHost>>& hosts = running.hosts;
        std::ofstream(folder + "/OrvaneSystemDx.ini") << BenchConfigText(plan, 0);
        std::filesystem::create_directory(folder + "/data");
        setenv("ORVANESYSTEM_CONFIG_DIR", folder.c_str(), 1);
        setenv("ORVANESYSTEM_DATA_DIR", (folder + "/data").c_str(), 1);

        MqttOptions options;
        options.broker = broker.HostPort();
        options.prefix = PREFIX;
        std::string error;
        std::unique_ptr<CMqttService> service = CMqttService::Start(options, error);
        CLatencySubscriber subscriber;
        CInProcessStation station;
        if (plan.size() != BENCH_HOST_COUNT || !service || !subscriber.Start(broker)) {
            std::fprintf(stderr, "bench_mqtt: the hosts, the service or the subscriber: %s\n",
                         error.c_str());
        } else {
            station.Start(service.get());
            const std::vector<BenchCard> cards = BenchCards();
            auto hostOf = [&](const BenchCard& card) -> CCardHost& { return *hosts[card.host]; };
            bool ready = station.WaitAllRunning(BENCH_CARD_COUNT, 60s);
            for (const BenchCard& card : cards) {
                ready = ready && hostOf(card).WaitMode(card.serial, 10s);
            }
            if (!ready) {
                std::fprintf(stderr, "bench_mqtt: the station did not bring up its cards\n");
            } else {
                const int starts = seconds * static_cast<int>(SESSIONS_PER_SECOND);
                std::exponential_distribution<double> gap(SESSIONS_PER_SECOND);
                auto next = SteadyClock::now();
                for (int i = 0; i < starts + SESSION_OVERLAP; ++i) {
                    next += std::chrono::duration_cast<SteadyClock::duration>(
                        std::chrono::duration<double>(gap(random)));
                    std::this_thread::sleep_until(next);
                    if (i >= SESSION_OVERLAP) {
                        const BenchCard& ending =
                            cards[static_cast<size_t>(i - SESSION_OVERLAP) % cards.size()];
                        hostOf(ending).EndSession(ending.serial, error);
                    }
                    if (i >= starts) {
                        continue;
                    }
                    const BenchCard& card = cards[static_cast<size_t>(i) % cards.size()];
                    const uint32_t mesId = MES_ID_BASE + static_cast<uint32_t>(i);
                    subscriber.Sent(static_cast<int32_t>(mesId));
                    hostOf(card).StartSession(card.serial, mesId,
                                              ServiceCode(static_cast<size_t>(i) % 6), error);
                }
                std::this_thread::sleep_for(1s);
                const std::vector<double> ms = subscriber.Latencies();
                std::printf("mqtt_event_sessions: %zu\n", ms.size());
                std::printf("mqtt_event_missed: %zu\n", subscriber.Missed());
                std::printf("mqtt_event_latency_p50_ms: %.1f\n", Percentile(ms, 0.5));
                std::printf("mqtt_event_latency_p99_ms: %.1f\n", Percentile(ms, 0.99));
                std::printf("mqtt_event_latency_max_ms: %.1f\n", Percentile(ms, 1.0));
                status = ms.empty() ? 1 : 0;
            }
            station.Stop();
        }
        service.reset();
        for (auto& host : hosts) {
            host->Stop();
        }
    }
    std::filesystem::remove_all(folder);
    return status;
}
