// bench_e2e: the station's end-to-end figures, measured in one process with
// real sockets on loopback addresses.
//
//   throughput: three card hosts flood ten cards with traffic texts as fast as
//     their connections take them; the station (card library, sinks, queue,
//     parser, core) must handle every one. The same flood then goes to a bare
//     client of the card library whose sink only counts. Rounds alternate the
//     two, so a change in the machine's load hits both alike.
//   latency: at ten sessions a second, the time from the host's sending of a
//     session start to the core showing that card Busy Session with that MES
//     ID. The core is read at every refresh request of the dispatch thread,
//     which a view gets right after the change (no polling). Starts come at
//     random (exponential gaps, as independent mobile stations make them): a
//     fixed pace would lock onto the queue's 50 ms polls and flatter the figure.
//
// Alongside, each flood shows the CPU its thread roles used (percent of one
// core) and how full the station's queue was, which tells a station that
// waits from one that works.
//
// Prints one "name: value" line per figure. Exits 1 when a message was lost or
// a measurement could not be made.
//
//   bench_e2e [--flood N] [--rounds N] [--latency-seconds N] [--only station|bare]
//
// --only runs one side of the flood and no latency, for a profiler.
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

#include "bench/BareClient.h"
#include "bench/HttpProbe.h"
#include "bench/InProcessHosts.h"
#include "bench/InProcessStation.h"
#include "bench/Percentile.h"
#include "bench/TenCards.h"
#include "cardhost/CardHost.h"
#include "cardlink/EventQueue.h"
#include "cardlink/EventRecord.h"
#include "remote/HttpStatusService.h"
#include "resources/OrvaneTypes.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(60);
constexpr auto ATTACH_TIMEOUT = std::chrono::seconds(10);
// A flood that makes no progress for this long has lost messages.
constexpr auto STALL_LIMIT = std::chrono::seconds(10);
constexpr auto QUIET_TIME = Ms(400);
constexpr auto COUNT_POLL = Ms(2);
constexpr double SESSIONS_PER_SECOND = 10;
constexpr int SESSION_OVERLAP = 5;  // a session ends five starts later
constexpr uint32_t LATENCY_MES_ID_BASE = 30000000;

// A flood's traffic text with the header of its queue record.
const int32_t FLOOD_RECORD_BYTES =
    EVENT_HEADER_SIZE +
    static_cast<int32_t>(DataTextMessage(TrafficEventRecord(" B", "DATA", EVENT_CCS)).size());

struct Settings {
    uint32_t flood = 20000;  // traffic texts per card and flood
    int rounds = 3;
    int latencySeconds = 30;
    std::string only;  // "station" or "bare": that side of the flood alone
};

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Threads of this process by role, for the CPU split of a flood: a thread's
// run time comes from /proc/self/task/TID/schedstat (nanoseconds on a CPU).
class CThreadRoles {
public:
    // Every thread not seen before gets `role`, except one named "dispatch".
    void Mark(const std::string& role) {
        for (const std::string& tid : Tasks()) {
            if (m_roles.count(tid) == 0) {
                m_roles[tid] = Comm(tid) == "dispatch" ? "dispatch" : role;
            }
        }
    }
    // Nanoseconds on a CPU per role, over the threads alive now.
    std::map<std::string, uint64_t> RunNs() const {
        std::map<std::string, uint64_t> total;
        for (const std::string& tid : Tasks()) {
            const auto it = m_roles.find(tid);
            std::ifstream file("/proc/self/task/" + tid + "/schedstat");
            uint64_t ns = 0;
            if (it != m_roles.end() && file >> ns) {
                total[it->second] += ns;
            }
        }
        return total;
    }

private:
    static std::vector<std::string> Tasks() {
        std::vector<std::string> tids;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
            tids.push_back(entry.path().filename().string());
        }
        return tids;
    }
    static std::string Comm(const std::string& tid) {
        std::ifstream file("/proc/self/task/" + tid + "/comm");
        std::string name;
        std::getline(file, name);
        return name;
    }
    std::map<std::string, std::string> m_roles;
};

CThreadRoles g_threads;

// "dispatch 12% library 40% ..." of the wall time between two readings.
std::string CpuSplit(const std::map<std::string, uint64_t>& before,
                     const std::map<std::string, uint64_t>& after, double seconds) {
    std::string text;
    for (const auto& [role, ns] : after) {
        const auto it = before.find(role);
        const uint64_t used = ns - (it == before.end() ? 0 : it->second);
        char part[64];
        std::snprintf(part, sizeof part, "%s%s %.0f%%", text.empty() ? "" : ", ", role.c_str(),
                      static_cast<double>(used) / 1e9 / seconds * 100.0);
        text += part;
    }
    return text;
}

// What the hosts report about their floods ("flood-done SERIAL N", "error flood ...").
class CFloodLedger {
public:
    void OnLine(const std::string& line) {
        std::lock_guard lock(m_lock);
        unsigned serial = 0;
        unsigned long count = 0;
        if (std::sscanf(line.c_str(), "flood-done %u %lu", &serial, &count) == 2) {
            ++m_done;
            m_sent += count;
        } else if (line.rfind("error", 0) == 0) {
            m_errors.push_back(line);
        }
    }
    void Reset() {
        std::lock_guard lock(m_lock);
        m_done = 0;
        m_sent = 0;
        m_errors.clear();
    }
    int Done() {
        std::lock_guard lock(m_lock);
        return m_done;
    }
    uint64_t Sent() {
        std::lock_guard lock(m_lock);
        return m_sent;
    }
    std::vector<std::string> Errors() {
        std::lock_guard lock(m_lock);
        return m_errors;
    }

private:
    std::mutex m_lock;
    int m_done = 0;
    uint64_t m_sent = 0;
    std::vector<std::string> m_errors;
};

using Hosts = CInProcessHosts;

// Waits until `count` has not moved for QUIET_TIME.
template <typename Count>
void WaitQuiet(Count count) {
    uint64_t last = count();
    auto since = SteadyClock::now();
    while (SteadyClock::now() - since < QUIET_TIME) {
        std::this_thread::sleep_for(Ms(20));
        const uint64_t now = count();
        if (now != last) {
            last = now;
            since = SteadyClock::now();
        }
    }
}

struct FloodResult {
    bool ok = false;
    uint64_t expected = 0;
    uint64_t received = 0;
    uint64_t sent = 0;
    double seconds = 0;
    std::string cpuSplit;  // per thread role, percent of one CPU
    double PerSecond() const { return seconds > 0 ? static_cast<double>(received) / seconds : 0; }
};

// How full the station's event queue was while the flood ran, sampled at
// every poll of the count.
struct QueueFill {
    uint64_t samples = 0;
    uint64_t empty = 0;       // no complete header to read
    uint64_t nearlyFull = 0;  // no room for one more flood record
};

// Floods every card and waits until `count` has risen by all of them.
// `unread` gives the unread bytes of the station's queue, or -1 without one.
template <typename Count, typename Unread>
FloodResult Flood(Hosts& hosts, CFloodLedger& ledger, uint32_t perCard, Count count, Unread unread,
                  QueueFill& fill) {
    FloodResult result;
    WaitQuiet(count);
    const uint64_t base = count();
    ledger.Reset();
    result.expected = static_cast<uint64_t>(perCard) * BENCH_CARD_COUNT;
    const std::map<std::string, uint64_t> threadsBefore = g_threads.RunNs();
    const auto start = SteadyClock::now();
    for (const BenchCard& card : BenchCards()) {
        std::string error;
        if (!hosts.HostOf(card.serial).Flood(card.serial, perCard, error)) {
            std::fprintf(stderr, "bench_e2e: flood of card %u: %s\n", card.serial, error.c_str());
            return result;
        }
    }
    uint64_t last = 0;
    auto lastProgress = start;
    auto end = start;
    for (;;) {
        const uint64_t received = count() - base;
        const auto now = SteadyClock::now();
        if (received != last) {
            last = received;
            lastProgress = now;
        }
        if (received >= result.expected) {
            end = now;
            break;
        }
        if (now - lastProgress > STALL_LIMIT) {
            end = lastProgress;
            break;
        }
        const int32_t bytes = unread();
        if (bytes >= 0) {
            ++fill.samples;
            fill.empty += bytes < FLOOD_RECORD_BYTES ? 1 : 0;
            fill.nearlyFull += bytes > EVENT_QUEUE_CAPACITY - 1 - FLOOD_RECORD_BYTES ? 1 : 0;
        }
        std::this_thread::sleep_for(COUNT_POLL);
    }
    result.seconds = Seconds(end - start);
    result.cpuSplit = CpuSplit(threadsBefore, g_threads.RunNs(), result.seconds);
    // Anything beyond the flood would show up here as well.
    std::this_thread::sleep_for(Ms(200));
    result.received = count() - base;
    result.sent = ledger.Sent();
    for (const std::string& error : ledger.Errors()) {
        std::fprintf(stderr, "bench_e2e: host: %s\n", error.c_str());
    }
    result.ok = ledger.Done() == BENCH_CARD_COUNT && result.sent == result.expected &&
                result.received == result.sent;
    return result;
}

bool WaitHostsInMode(Hosts& hosts) {
    if (!hosts.WaitInMode(BENCH_CARD_COUNT, ATTACH_TIMEOUT)) {
        std::fprintf(stderr, "bench_e2e: a card never got its mode\n");
        return false;
    }
    return true;
}

FloodResult StationFlood(Hosts& hosts, CFloodLedger& ledger, uint32_t perCard, QueueFill& fill) {
    CInProcessStation station;
    station.Start();
    g_threads.Mark("library");
    if (!station.WaitAllRunning(BENCH_CARD_COUNT, CONNECT_TIMEOUT) || !WaitHostsInMode(hosts)) {
        std::fprintf(stderr, "bench_e2e: the station did not bring up its ten cards\n");
        return {};
    }
    FloodResult result = Flood(
        hosts, ledger, perCard, [&station] { return station.Handled(); },
        [&station] { return station.QueueUnread(); }, fill);
    station.Stop();
    return result;
}

FloodResult BareFlood(Hosts& hosts, CFloodLedger& ledger, uint32_t perCard) {
    std::vector<CBareClient::Target> targets;
    for (const BenchCard& card : BenchCards()) {
        const BenchHost& host = hosts.plan[card.host];
        targets.push_back({host.address, host.port, card.serial});
    }
    CBareClient client(targets);
    const bool connected = client.Connect(CONNECT_TIMEOUT);
    g_threads.Mark("library");
    if (!connected) {
        std::fprintf(stderr, "bench_e2e: the bare client could not connect\n");
        return {};
    }
    for (const BenchCard& card : BenchCards()) {
        if (!hosts.HostOf(card.serial).WaitAttached(card.serial, ATTACH_TIMEOUT)) {
            std::fprintf(stderr, "bench_e2e: card %u did not attach to the bare client\n",
                         card.serial);
            return {};
        }
    }
    QueueFill none;
    return Flood(
        hosts, ledger, perCard, [&client] { return client.Received(); }, [] { return -1; }, none);
}

struct LatencyResult {
    bool ok = false;
    std::vector<double> ms;
    size_t missed = 0;
};

LatencyResult SessionLatency(Hosts& hosts, int seconds, std::mt19937& random) {
    LatencyResult result;
    CInProcessStation station;
    station.Start();
    if (!station.WaitAllRunning(BENCH_CARD_COUNT, CONNECT_TIMEOUT) || !WaitHostsInMode(hosts)) {
        std::fprintf(stderr, "bench_e2e: the station did not bring up its ten cards\n");
        return result;
    }
    WaitQuiet([&station] { return station.Handled(); });

    CSessionLatency latency(station);

    const std::vector<BenchCard> cards = BenchCards();
    const int starts = seconds * static_cast<int>(SESSIONS_PER_SECOND);
    std::exponential_distribution<double> gap(SESSIONS_PER_SECOND);
    auto next = SteadyClock::now();
    std::string error;
    for (int i = 0; i < starts + SESSION_OVERLAP; ++i) {
        next += std::chrono::duration_cast<SteadyClock::duration>(
            std::chrono::duration<double>(gap(random)));
        std::this_thread::sleep_until(next);
        if (i >= SESSION_OVERLAP) {
            const BenchCard& ending =
                cards[static_cast<size_t>(i - SESSION_OVERLAP) % cards.size()];
            hosts.HostOf(ending.serial).EndSession(ending.serial, error);
        }
        if (i >= starts) {
            continue;
        }
        const BenchCard& card = cards[static_cast<size_t>(i) % cards.size()];
        const auto mesId = static_cast<int32_t>(LATENCY_MES_ID_BASE + static_cast<uint32_t>(i));
        latency.Sent(card.number, mesId);
        if (!hosts.HostOf(card.serial)
                 .StartSession(card.serial, static_cast<uint32_t>(mesId),
                               ServiceCode(static_cast<size_t>(i) % SERVICE_CODE_COUNT), error)) {
            std::fprintf(stderr, "bench_e2e: session start on card %u: %s\n", card.serial,
                         error.c_str());
        }
    }
    std::this_thread::sleep_for(Ms(500));
    result.ms = latency.Finish(result.missed);
    station.Stop();
    result.ok = !result.ms.empty();
    return result;
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

// The HTTP status while the station is flooded: /api/status asked every
// 20 ms from another thread, each answer timed; then /metrics scraped with
// the ten cards running.
struct HttpResult {
    std::vector<double> statusMs;
    size_t statusFailed = 0;
    std::vector<double> scrapeMs;
    bool ok = false;
};

constexpr auto HTTP_ASK_PACE = std::chrono::milliseconds(20);
constexpr int METRICS_SCRAPES = 30;

HttpResult HttpFlood(Hosts& hosts, CFloodLedger& ledger, uint32_t perCard, QueueFill& fill) {
    HttpResult result;
    HttpStatusOptions options;
    options.address = hosts.plan[0].address;  // a loopback address of this run
    options.version = "bench";
    CHttpStatusService service(options);
    std::string error;
    if (!service.Start(error)) {
        std::fprintf(stderr, "bench_e2e: %s\n", error.c_str());
        return result;
    }
    CInProcessStation station;
    station.AddObserver(&service);
    station.Start();
    if (!station.WaitAllRunning(BENCH_CARD_COUNT, CONNECT_TIMEOUT) || !WaitHostsInMode(hosts)) {
        std::fprintf(stderr, "bench_e2e: the station did not bring up its ten cards\n");
        return result;
    }
    std::atomic<bool> flooding{true};
    std::thread asker([&] {
        while (flooding.load()) {
            const double ms = TimedGet(options.address, service.Port(), "/api/status");
            if (ms < 0) {
                ++result.statusFailed;
            } else {
                result.statusMs.push_back(ms);
            }
            std::this_thread::sleep_for(HTTP_ASK_PACE);
        }
    });
    const FloodResult flood = Flood(
        hosts, ledger, perCard, [&station] { return station.Handled(); },
        [&station] { return station.QueueUnread(); }, fill);
    flooding.store(false);
    asker.join();
    std::string body;
    for (int i = 0; i < METRICS_SCRAPES; ++i) {
        const double ms = TimedGet(options.address, service.Port(), "/metrics", &body);
        if (ms >= 0 && body.find("card=\"10\"") != std::string::npos) {
            result.scrapeMs.push_back(ms);
        }
    }
    station.Stop();
    service.Stop();
    std::printf("http: %zu status answers during a flood of %.3f s (%zu failed), %zu scrapes\n",
                result.statusMs.size(), flood.seconds, result.statusFailed, result.scrapeMs.size());
    result.ok = flood.ok && !result.statusMs.empty() && !result.scrapeMs.empty();
    return result;
}

bool ParseArguments(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        if (name == "--only") {
            settings.only = argv[++i];
            if (settings.only != "station" && settings.only != "bare") {
                return false;
            }
            continue;
        }
        const long value = std::strtol(argv[++i], nullptr, 10);
        if (value <= 0) {
            return false;
        }
        if (name == "--flood") {
            settings.flood = static_cast<uint32_t>(value);
        } else if (name == "--rounds") {
            settings.rounds = static_cast<int>(value);
        } else if (name == "--latency-seconds") {
            settings.latencySeconds = static_cast<int>(value);
        } else {
            return false;
        }
    }
    return true;
}

// A folder of its own for the configuration file (and a data folder that
// stays empty: no samples are taken).
class CScratchFolder {
public:
    CScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvane-bench.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~CScratchFolder() {
        std::error_code ignored;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    CScratchFolder(const CScratchFolder&) = delete;
    CScratchFolder& operator=(const CScratchFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!ParseArguments(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: bench_e2e [--flood N] [--rounds N] [--latency-seconds N] "
                     "[--only station|bare]\n");
        return 2;
    }
    std::random_device seed;
    std::mt19937 random(seed());
    CScratchFolder folder;
    if (folder.Path().empty()) {
        std::fprintf(stderr, "bench_e2e: cannot create a scratch folder\n");
        return 1;
    }

    CFloodLedger ledger;
    Hosts hosts;
    g_threads.Mark("main");
    if (!hosts.Start(random, [&ledger](const std::string& line) { ledger.OnLine(line); })) {
        std::fprintf(stderr, "bench_e2e: no free loopback addresses for the hosts\n");
        return 1;
    }
    g_threads.Mark("hosts");
    {
        std::ofstream config(folder.Path() + "/OrvaneSystemDx.ini");
        config << BenchConfigText(hosts.plan, 0);
    }
    std::filesystem::create_directory(folder.Path() + "/data");
    setenv("ORVANESYSTEM_CONFIG_DIR", folder.Path().c_str(), 1);
    setenv("ORVANESYSTEM_DATA_DIR", (folder.Path() + "/data").c_str(), 1);
    std::printf("hosts: %s %s %s\n", hosts.plan[0].address.c_str(), hosts.plan[1].address.c_str(),
                hosts.plan[2].address.c_str());

    bool ok = true;
    std::vector<double> e2e;
    std::vector<double> bare;
    std::vector<double> ratio;
    QueueFill fill;
    for (int round = 1; round <= settings.rounds; ++round) {
        if (!settings.only.empty()) {
            const FloodResult alone = settings.only == "station"
                                          ? StationFlood(hosts, ledger, settings.flood, fill)
                                          : BareFlood(hosts, ledger, settings.flood);
            std::printf("%s: %llu of %llu sent in %.3f s = %.0f msg/s\n  cpu of one core: %s\n",
                        settings.only.c_str(), static_cast<unsigned long long>(alone.received),
                        static_cast<unsigned long long>(alone.sent), alone.seconds,
                        alone.PerSecond(), alone.cpuSplit.c_str());
            ok = ok && alone.ok;
            continue;
        }
        const FloodResult station = StationFlood(hosts, ledger, settings.flood, fill);
        const FloodResult client = BareFlood(hosts, ledger, settings.flood);
        std::printf(
            "round %d: station %llu of %llu sent in %.3f s = %.0f msg/s\n"
            "  cpu of one core: %s\n"
            "round %d: bare %llu of %llu in %.3f s = %.0f msg/s\n"
            "  cpu of one core: %s\n",
            round, static_cast<unsigned long long>(station.received),
            static_cast<unsigned long long>(station.sent), station.seconds, station.PerSecond(),
            station.cpuSplit.c_str(), round, static_cast<unsigned long long>(client.received),
            static_cast<unsigned long long>(client.sent), client.seconds, client.PerSecond(),
            client.cpuSplit.c_str());
        std::fflush(stdout);
        if (!station.ok) {
            std::printf(
                "e2e_lost: %lld of %llu (round %d)\n",
                static_cast<long long>(station.expected) - static_cast<long long>(station.received),
                static_cast<unsigned long long>(station.expected), round);
            ok = false;
        }
        if (!client.ok) {
            std::printf(
                "bare_lost: %lld of %llu (round %d)\n",
                static_cast<long long>(client.expected) - static_cast<long long>(client.received),
                static_cast<unsigned long long>(client.expected), round);
            ok = false;
        }
        if (station.ok && client.ok) {
            e2e.push_back(station.PerSecond());
            bare.push_back(client.PerSecond());
            ratio.push_back(station.PerSecond() / client.PerSecond());
        }
    }

    if (!settings.only.empty()) {
        for (auto& host : hosts.hosts) {
            host->Stop();
        }
        return ok ? 0 : 1;
    }
    const HttpResult http = HttpFlood(hosts, ledger, settings.flood, fill);
    ok = ok && http.ok;
    const LatencyResult latency = SessionLatency(hosts, settings.latencySeconds, random);
    for (auto& host : hosts.hosts) {
        host->Stop();
    }

    if (!e2e.empty()) {
        std::printf("e2e_msgs_per_s: %.0f\n", Median(e2e));
        std::printf("bare_msgs_per_s: %.0f\n", Median(bare));
        std::printf("e2e_vs_bare: %.3f\n", Median(ratio));
        std::printf("e2e_queue_empty_percent: %.1f\n",
                    100.0 * static_cast<double>(fill.empty) / static_cast<double>(fill.samples));
        std::printf("e2e_queue_full_percent: %.1f\n", 100.0 * static_cast<double>(fill.nearlyFull) /
                                                          static_cast<double>(fill.samples));
    }
    if (http.ok) {
        std::printf("http_status_p50_ms: %.2f\n", Percentile(http.statusMs, 0.5));
        std::printf("http_status_p99_ms: %.2f\n", Percentile(http.statusMs, 0.99));
        std::printf("metrics_scrape_ms: %.2f\n", Percentile(http.scrapeMs, 0.5));
    }
    if (latency.ok) {
        std::printf("latency_sessions: %zu\n", latency.ms.size());
        std::printf("latency_p50_ms: %.1f\n", Percentile(latency.ms, 0.5));
        std::printf("latency_p99_ms: %.1f\n", Percentile(latency.ms, 0.99));
        std::printf("latency_max_ms: %.1f\n", Percentile(latency.ms, 1.0));
    }
    if (latency.missed > 0 || !latency.ok) {
        std::printf("latency_missed: %zu\n", latency.missed);
        ok = false;
    }
    return ok ? 0 : 1;
}
