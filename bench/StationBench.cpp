// bench_station: the station program as a process, in console mode, with ten
// cards on three card host processes on loopback addresses.
//
//   idle:    ten connected cards, no traffic: CPU of the station over a
//            period (utime + stime from /proc/PID/stat, in clock ticks; and
//            the threads' run time from schedstat, in nanoseconds), then the
//            time from SIGTERM to the end of the process (statistics file
//            written).
//   traffic: the hosts generate sessions on every card: resident memory
//            (VmRSS) after the period, then the exit time again.
//
// Prints one "name: value" line per figure; exits 1 when a run failed.
//
//   bench_station --station PATH --cardhost PATH [--idle-seconds N]
//                 [--traffic-seconds N] [--traffic-rate SESSIONS_PER_CARD_AND_MINUTE]
//
// --idle-seconds 0 leaves the idle run out (the traffic run alone, e.g. for
// the headless program's resident memory).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/ConsoleTable.h"
#include "bench/Processes.h"
#include "bench/TenCards.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int32_t LOG_INTERVAL = 4;
constexpr auto HOST_START_TIMEOUT = std::chrono::seconds(5);
constexpr auto RUNNING_TIMEOUT = std::chrono::seconds(60);
constexpr auto SETTLE_TIME = std::chrono::seconds(3);
constexpr auto EXIT_TIMEOUT = std::chrono::seconds(30);
constexpr int STATUS_MODE_RUNNING = 3;
constexpr int STATUS_BUSY_SESSION = 4;

struct Settings {
    std::string station;
    std::string cardhost;
    int idleSeconds = 30;
    int trafficSeconds = 60;
    int trafficRate = 30;
};

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Three card host processes, each on a free loopback address.
class CHostProcesses {
public:
    CHostProcesses(std::string program, std::string folder)
        : m_program(std::move(program)), m_folder(std::move(folder)) {}
    ~CHostProcesses() { Stop(); }
    CHostProcesses(const CHostProcesses&) = delete;
    CHostProcesses& operator=(const CHostProcesses&) = delete;

    // Keeps the addresses of an earlier start when `addresses` is given.
    bool Start(int trafficRate, std::mt19937& random, std::vector<std::string> addresses = {}) {
        const std::vector<BenchHost> models = BenchHosts({"", "", ""});
        m_plan.clear();
        for (size_t h = 0; h < models.size(); ++h) {
            bool started = false;
            for (int attempt = 0; attempt < 20 && !started; ++attempt) {
                BenchHost host = models[h];
                host.address = h < addresses.size() && attempt == 0 ? addresses[h]
                                                                    : RandomLoopbackAddress(random);
                const std::string log = m_folder + "/host" + std::to_string(h) + "-" +
                                        std::to_string(m_starts++) + ".log";
                const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                std::vector<std::string> argv = {m_program, "--listen", host.address, "--device",
                                                 host.device};
                for (const uint32_t serial : host.serials) {
                    argv.push_back("--card");
                    argv.push_back(std::to_string(serial));
                }
                if (trafficRate > 0) {
                    argv.push_back("--traffic");
                    argv.push_back(std::to_string(trafficRate));
                }
                const pid_t pid = SpawnProcess(argv, {}, fd, fd);
                close(fd);
                if (pid < 0) {
                    std::fprintf(stderr, "bench_station: cannot start %s\n", m_program.c_str());
                    return false;
                }
                const auto deadline = SteadyClock::now() + HOST_START_TIMEOUT;
                std::string text;
                while (SteadyClock::now() < deadline) {
                    text = ReadFile(log);
                    if (text.find("listening ") != std::string::npos ||
                        text.find("error") != std::string::npos) {
                        break;
                    }
                    std::this_thread::sleep_for(Ms(20));
                }
                if (text.find("listening ") != std::string::npos) {
                    m_plan.push_back(host);
                    m_pids.push_back(pid);
                    started = true;
                } else {
                    kill(pid, SIGKILL);
                    WaitProcess(pid);
                }
            }
            if (!started) {
                std::fprintf(stderr, "bench_station: no card host could listen for %s\n",
                             models[h].device);
                return false;
            }
        }
        return true;
    }

    void Stop() {
        for (const pid_t pid : m_pids) {
            kill(pid, SIGTERM);
        }
        for (const pid_t pid : m_pids) {
            if (WaitProcessFor(pid, Ms(5000)) < 0) {
                kill(pid, SIGKILL);
                WaitProcess(pid);
            }
        }
        m_pids.clear();
    }

    const std::vector<BenchHost>& Plan() const { return m_plan; }
    std::vector<std::string> Addresses() const {
        std::vector<std::string> addresses;
        for (const BenchHost& host : m_plan) {
            addresses.push_back(host.address);
        }
        return addresses;
    }

private:
    std::string m_program;
    std::string m_folder;
    std::vector<BenchHost> m_plan;
    std::vector<pid_t> m_pids;
    int m_starts = 0;
};

// The station in console mode, its table read from a pipe on a thread of its own.
class CStationProcess {
public:
    ~CStationProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            WaitProcess(m_pid);
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
    }

    bool Start(const std::string& program, const std::string& configDir, const std::string& dataDir,
               const std::string& errorLog, const std::vector<std::string>& extra = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        const int err = open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> argv = {program, "--console", "--table"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_pid = SpawnProcess(
            argv, {"ORVANESYSTEM_CONFIG_DIR=" + configDir, "ORVANESYSTEM_DATA_DIR=" + dataDir},
            fds[1], err);
        close(fds[1]);
        close(err);
        if (m_pid < 0) {
            close(fds[0]);
            return false;
        }
        m_reader = std::thread([this, fd = fds[0]] { Read(fd); });
        return true;
    }

    pid_t Pid() const { return m_pid; }

    bool WaitAllRunning(std::chrono::seconds timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        while (SteadyClock::now() < deadline) {
            {
                std::lock_guard lock(m_lock);
                int running = 0;
                for (const ConsoleRow& row : m_rows) {
                    running += row.status >= STATUS_MODE_RUNNING ? 1 : 0;
                }
                if (running == BENCH_CARD_COUNT) {
                    return true;
                }
            }
            std::this_thread::sleep_for(Ms(20));
        }
        return false;
    }

    // SIGTERM, then the wait for the end: milliseconds, and the exit status.
    std::pair<double, int> Terminate() {
        const auto start = SteadyClock::now();
        kill(m_pid, SIGTERM);
        const int status = WaitProcessFor(m_pid, EXIT_TIMEOUT);
        const double ms = Seconds(SteadyClock::now() - start) * 1000.0;
        if (status < 0) {
            kill(m_pid, SIGKILL);
            WaitProcess(m_pid);
        }
        m_pid = -1;
        m_reader.join();
        return {ms, status};
    }

    size_t SessionsSeen() {
        std::lock_guard lock(m_lock);
        return m_sessions.size();
    }

private:
    void Read(int fd) {
        CConsoleTableReader reader;
        std::string line;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    line += buffer[i];
                    continue;
                }
                if (reader.Feed(line)) {
                    std::lock_guard lock(m_lock);
                    m_rows = reader.Rows();
                    for (const ConsoleRow& row : m_rows) {
                        if (row.status == STATUS_BUSY_SESSION) {
                            m_sessions.insert({row.number, row.mesId});
                        }
                    }
                }
                line.clear();
            }
        }
        close(fd);
    }

    pid_t m_pid = -1;
    std::thread m_reader;
    std::mutex m_lock;
    std::vector<ConsoleRow> m_rows;
    std::set<std::pair<int32_t, int64_t>> m_sessions;
};

bool ParseArguments(int argc, char** argv, Settings& settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--station") {
            settings.station = value;
        } else if (name == "--cardhost") {
            settings.cardhost = value;
        } else if (name == "--idle-seconds") {
            settings.idleSeconds = std::atoi(value.c_str());
        } else if (name == "--traffic-seconds") {
            settings.trafficSeconds = std::atoi(value.c_str());
        } else if (name == "--traffic-rate") {
            settings.trafficRate = std::atoi(value.c_str());
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !settings.station.empty() && !settings.cardhost.empty() &&
           settings.idleSeconds >= 0 && settings.trafficSeconds > 0 && settings.trafficRate > 0;
}

bool HasStatisticsFile(const std::string& dataDir) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dataDir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Stat", 0) == 0 && entry.path().extension() == ".txt" &&
            entry.file_size() > 0) {
            return true;
        }
    }
    return false;
}

struct Run {
    std::string name;
    std::string folder;
    std::string dataDir;
    std::vector<std::string> extra;  // more arguments for the station
};

// Starts the station on `hosts`, waits for its ten cards and runs `measure`;
// then stops it and checks the exit. The exit time in ms, or -1 on failure.
template <typename Measure>
double RunStation(const Settings& settings, const Run& run, const CHostProcesses& hosts,
                  Measure measure) {
    std::filesystem::create_directories(run.dataDir);
    {
        std::ofstream config(run.folder + "/OrvaneSystemDx.ini");
        config << BenchConfigText(hosts.Plan(), LOG_INTERVAL);
    }
    CStationProcess station;
    if (!station.Start(settings.station, run.folder, run.dataDir,
                       run.folder + "/station-" + run.name + ".err", run.extra)) {
        std::fprintf(stderr, "bench_station: cannot start %s\n", settings.station.c_str());
        return -1;
    }
    if (!station.WaitAllRunning(RUNNING_TIMEOUT)) {
        std::fprintf(stderr, "bench_station: %s: the ten cards did not reach Mode Running\n",
                     run.name.c_str());
        return -1;
    }
    std::this_thread::sleep_for(SETTLE_TIME);
    measure(station);
    const auto [ms, status] = station.Terminate();
    if (status != 0) {
        std::fprintf(stderr, "bench_station: %s: the station ended with status %d\n",
                     run.name.c_str(), status);
        return -1;
    }
    if (!HasStatisticsFile(run.dataDir)) {
        std::fprintf(stderr, "bench_station: %s: no statistics file was written\n",
                     run.name.c_str());
        return -1;
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!ParseArguments(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: bench_station --station PATH --cardhost PATH [--idle-seconds N] "
                     "[--traffic-seconds N] [--traffic-rate N]\n");
        return 2;
    }
    std::string pattern =
        (std::filesystem::temp_directory_path() / "orvane-bench-station.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "bench_station: cannot create a scratch folder\n");
        return 1;
    }
    const std::string folder = pattern;
    std::random_device seed;
    std::mt19937 random(seed());
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    bool ok = true;

    CHostProcesses hosts(settings.cardhost, folder);
    if (!hosts.Start(0, random)) {
        return 1;
    }
    // CPU of an idle station over the idle period: in clock ticks, and finer,
    // from its threads' run time.
    struct IdleCpu {
        double percent = -1;
        double finePercent = -1;
    };
    auto measureIdle = [&](CStationProcess& s, const char* name) {
        IdleCpu cpu;
        uint64_t before = 0;
        uint64_t after = 0;
        uint64_t runBefore = 0;
        uint64_t runAfter = 0;
        const auto start = SteadyClock::now();
        ReadCpuTicks(s.Pid(), before);
        ReadThreadRunNs(s.Pid(), runBefore);
        std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
        ReadCpuTicks(s.Pid(), after);
        ReadThreadRunNs(s.Pid(), runAfter);
        const double wall = Seconds(SteadyClock::now() - start);
        cpu.percent = static_cast<double>(after - before) / static_cast<double>(ticksPerSecond) /
                      wall * 100.0;
        cpu.finePercent = static_cast<double>(runAfter - runBefore) / 1e9 / wall * 100.0;
        std::printf("%s: %llu ticks in %.1f s; threads %lld, descriptors %d\n", name,
                    static_cast<unsigned long long>(after - before), wall,
                    static_cast<long long>(ReadStatusNumber(s.Pid(), "Threads")),
                    CountOpenDescriptors(s.Pid()));
        return cpu;
    };
    IdleCpu idle;
    int64_t idleRss = -1;
    const bool idleRun = settings.idleSeconds > 0;
    const double idleExit = !idleRun
                                ? 0
                                : RunStation(settings, {"idle", folder, folder + "/data-idle", {}},
                                             hosts, [&](CStationProcess& s) {
                                                 idle = measureIdle(s, "idle");
                                                 idleRss = ReadStatusNumber(s.Pid(), "VmRSS");
                                             });
    // The same, with the HTTP status on and nobody asking.
    IdleCpu httpIdle;
    const std::vector<std::string> addresses = hosts.Addresses();
    const double httpIdleExit = !idleRun
                                    ? 0
                                    : RunStation(settings,
                                                 {"idle-http",
                                                  folder,
                                                  folder + "/data-idle-http",
                                                  {"--http", addresses[0] + ":0"}},
                                                 hosts, [&](CStationProcess& s) {
                                                     httpIdle = measureIdle(s, "idle with HTTP");
                                                 });
    ok = ok && httpIdleExit >= 0;
    hosts.Stop();

    int64_t rss = -1;
    int64_t hwm = -1;
    double trafficCpu = -1;
    size_t sessions = 0;
    double trafficExit = -1;
    if (!hosts.Start(settings.trafficRate, random, addresses)) {
        ok = false;
    } else {
        trafficExit = RunStation(
            settings, {"traffic", folder, folder + "/data-traffic", {}}, hosts,
            [&](CStationProcess& s) {
                uint64_t before = 0;
                uint64_t after = 0;
                const auto start = SteadyClock::now();
                ReadCpuTicks(s.Pid(), before);
                std::this_thread::sleep_for(std::chrono::seconds(settings.trafficSeconds));
                ReadCpuTicks(s.Pid(), after);
                const double wall = Seconds(SteadyClock::now() - start);
                trafficCpu = static_cast<double>(after - before) /
                             static_cast<double>(ticksPerSecond) / wall * 100.0;
                rss = ReadStatusNumber(s.Pid(), "VmRSS");
                hwm = ReadStatusNumber(s.Pid(), "VmHWM");
                sessions = s.SessionsSeen();
            });
        hosts.Stop();
    }

    if (!idleRun) {
        // Not measured, not missing.
    } else if (idle.percent >= 0) {
        std::printf("idle_cpu_percent: %.3f\n", idle.percent);
        std::printf("idle_cpu_percent_schedstat: %.3f\n", idle.finePercent);
        std::printf("idle_rss_mb: %.1f\n", static_cast<double>(idleRss) / 1024.0);
        if (httpIdle.percent >= 0) {
            std::printf("idle_http_cpu_percent: %.3f\n", httpIdle.percent);
            std::printf("idle_http_cpu_percent_schedstat: %.3f\n", httpIdle.finePercent);
            // From the threads' run time: the tick counts are too coarse for a difference.
            std::printf("http_idle_cpu_percent: %.3f\n", httpIdle.finePercent - idle.finePercent);
        }
    } else {
        ok = false;
    }
    if (rss >= 0) {
        std::printf("traffic_sessions_seen: %zu\n", sessions);
        std::printf("traffic_cpu_percent: %.3f\n", trafficCpu);
        std::printf("rss_mb: %.1f\n", static_cast<double>(rss) / 1024.0);
        std::printf("rss_peak_mb: %.1f\n", static_cast<double>(hwm) / 1024.0);
    } else {
        ok = false;
    }
    if (!idleRun && trafficExit >= 0) {
        std::printf("exit_ms_traffic: %.1f\n", trafficExit);
    } else if (idleExit >= 0 && trafficExit >= 0) {
        std::printf("exit_ms_idle: %.1f\n", idleExit);
        std::printf("exit_ms_traffic: %.1f\n", trafficExit);
        std::printf("exit_ms: %.1f\n", std::max(idleExit, trafficExit));
    } else {
        ok = false;
    }
    std::error_code ignored;
    if (ok) {
        std::filesystem::remove_all(folder, ignored);
    } else {
        std::fprintf(stderr, "bench_station: logs kept in %s\n", folder.c_str());
    }
    return ok ? 0 : 1;
}
