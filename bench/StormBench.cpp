// bench_storm: the station beside a host that misbehaves. Of the ten cards,
// the tarsa host's are hostile: it lists card 9 in a Cards information
// message twenty times a second (each one asks for a mode setup) and offers
// card 8, a sat-c-tdm card, a session that is refused twenty times a second
// (each refusal asks for its mode setup again). The other hosts carry on.
//
//   latency: sessions started on the seven good cards at ten a second, from
//            the host's sending of the start to the core showing the card
//            Busy Session with that MES ID (the core and dispatch thread run
//            in this process, as in bench_e2e).
//   exit:    the station program as a process, with the hosts in this
//            process: SIGTERM during the storm to the end of the process.
//
// Prints one "name: value" line per figure; exits 1 when a run failed.
//
//   bench_storm --station PATH [--seconds N] [--exit-rounds N]
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/InProcessHosts.h"
#include "bench/InProcessStation.h"
#include "bench/Percentile.h"
#include "bench/Processes.h"
#include "bench/TenCards.h"
#include "cardhost/CardHost.h"
#include "resources/OrvaneTypes.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(60);
constexpr auto STORM_PACE = Ms(50);  // twenty of each a second
constexpr double SESSIONS_PER_SECOND = 10;
constexpr uint32_t MES_ID_BASE = 40000000;
constexpr size_t HOSTILE_HOST = 2;
constexpr uint32_t LISTED_SERIAL = 3002;   // card 9
constexpr uint32_t REFUSED_SERIAL = 3001;  // card 8, sat-c-tdm
constexpr int32_t GOOD_CARDS = 7;          // cards 1 to 7, on the other two hosts

double Milliseconds(SteadyClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Hosts : CInProcessHosts {
    bool GoodCardsInMode() { return WaitInMode(GOOD_CARDS, CONNECT_TIMEOUT); }
};

// The hostile host's traffic, on a thread of its own until stopped.
class CStorm {
public:
    explicit CStorm(CCardHost& host) : m_host(host) {}
    ~CStorm() { Stop(); }
    void Start() {
        m_thread = std::thread([this] {
            const std::string listing = CardsInformationMessage({3001, 3002, 3003});
            const std::string refused = DataTextMessage(StartRecord(" C", "TEL ", 0, 1));
            auto next = SteadyClock::now();
            std::string error;
            while (!m_stop.load()) {
                m_host.SendText(LISTED_SERIAL, listing, error);
                m_host.SendText(REFUSED_SERIAL, refused, error);
                next += STORM_PACE;
                std::this_thread::sleep_until(next);
            }
        });
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    CCardHost& m_host;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

bool MeasureLatency(Hosts& hosts, int seconds, std::mt19937& random, std::vector<double>& ms,
                    size_t& missed) {
    CInProcessStation station;
    station.Start();
    if (!station.WaitAllRunning(BENCH_CARD_COUNT, CONNECT_TIMEOUT) || !hosts.GoodCardsInMode()) {
        std::fprintf(stderr, "bench_storm: the station did not bring up its cards\n");
        return false;
    }
    CStorm storm(*hosts.hosts[HOSTILE_HOST]);
    storm.Start();

    CSessionLatency latency(station);

    std::vector<BenchCard> good = BenchCards();
    good.resize(GOOD_CARDS);
    const int starts = seconds * static_cast<int>(SESSIONS_PER_SECOND);
    std::exponential_distribution<double> gap(SESSIONS_PER_SECOND);
    auto next = SteadyClock::now();
    std::string error;
    for (int i = 0; i < starts; ++i) {
        next += std::chrono::duration_cast<SteadyClock::duration>(
            std::chrono::duration<double>(gap(random)));
        std::this_thread::sleep_until(next);
        const BenchCard& card = good[static_cast<size_t>(i) % good.size()];
        // The card's previous session ends first, so that every start is one.
        hosts.HostOf(card.serial).EndSession(card.serial, error);
        const auto mesId = static_cast<int32_t>(MES_ID_BASE + static_cast<uint32_t>(i));
        latency.Sent(card.number, mesId);
        hosts.HostOf(card.serial)
            .StartSession(card.serial, static_cast<uint32_t>(mesId), "DATA", error);
    }
    std::this_thread::sleep_for(Ms(1000));
    storm.Stop();
    ms = latency.Finish(missed);
    station.Stop();
    return !ms.empty();
}

// SIGTERM to the end of the station program, in the storm; -1 when a run failed.
double MeasureExit(Hosts& hosts, const std::string& program) {
    const pid_t pid = SpawnProcess({program, "--console", "/L:4"}, {}, -1, -1);
    if (pid < 0) {
        return -1;
    }
    if (!hosts.GoodCardsInMode()) {
        kill(pid, SIGKILL);
        WaitProcess(pid);
        return -1;
    }
    CStorm storm(*hosts.hosts[HOSTILE_HOST]);
    storm.Start();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const auto signalled = SteadyClock::now();
    kill(pid, SIGTERM);
    const int status = WaitProcessFor(pid, std::chrono::seconds(300));
    const double ms = Milliseconds(SteadyClock::now() - signalled);
    storm.Stop();
    if (status < 0) {
        kill(pid, SIGKILL);
        WaitProcess(pid);
        return -1;
    }
    return status == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program;
    int seconds = 20;
    int exitRounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--station") {
            program = argv[i + 1];
        } else if (name == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        } else if (name == "--exit-rounds") {
            exitRounds = std::atoi(argv[i + 1]);
        }
    }
    if (program.empty() || seconds <= 0) {
        std::fprintf(stderr, "usage: bench_storm --station PATH [--seconds N] [--exit-rounds N]\n");
        return 2;
    }

    std::random_device seed;
    std::mt19937 random(seed());
    Hosts hosts;
    if (!hosts.Start(random)) {
        std::fprintf(stderr, "bench_storm: no free loopback addresses for the hosts\n");
        return 1;
    }
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("orvane-storm-" + std::to_string(getpid())))
            .string();
    std::filesystem::create_directories(folder + "/data");
    std::ofstream(folder + "/OrvaneSystemDx.ini") << BenchConfigText(hosts.plan, 0);
    setenv("ORVANESYSTEM_CONFIG_DIR", folder.c_str(), 1);
    setenv("ORVANESYSTEM_DATA_DIR", (folder + "/data").c_str(), 1);

    bool ok = true;
    std::vector<double> latency;
    size_t missed = 0;
    if (MeasureLatency(hosts, seconds, random, latency, missed)) {
        std::printf("storm_sessions: %zu\n", latency.size());
        std::printf("storm_session_latency_p50_ms: %.1f\n", Percentile(latency, 0.5));
        std::printf("storm_session_latency_p99_ms: %.1f\n", Percentile(latency, 0.99));
        std::printf("storm_session_latency_max_ms: %.1f\n", Percentile(latency, 1.0));
        if (missed > 0) {
            std::printf("storm_sessions_missed: %zu\n", missed);
            ok = false;
        }
    } else {
        ok = false;
    }

    std::vector<double> exits;
    for (int round = 0; round < exitRounds; ++round) {
        const double ms = MeasureExit(hosts, program);
        if (ms < 0) {
            std::fprintf(stderr, "bench_storm: exit round %d failed\n", round + 1);
            ok = false;
            continue;
        }
        std::printf("storm exit round %d: %.0f ms\n", round + 1, ms);
        exits.push_back(ms);
    }
    if (!exits.empty()) {
        std::printf("storm_exit_ms: %.0f\n", Percentile(exits, 1.0));
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return ok ? 0 : 1;
}
