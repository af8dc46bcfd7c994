// The real station against card hosts over loopback TCP: the core and its
// dispatch thread, the card library, emulated hosts (CCardHost) and hand-made
// hostile hosts on raw sockets.
//
// Every host listens on an address of its own below 127.0.0.0/8, on the real
// port of its device model, so that the tests of several processes run side
// by side. Waiting is by polling with a deadline: a passing test goes on as
// soon as its condition holds, a failing one gives up at the deadline.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cardhost/CardHost.h"
#include "cardhost/CardProtocol.h"
#include "config/Folders.h"
#include "core/Monitor.h"
#include "core/StationRun.h"
#include "support/MessageRecorder.h"

#include "support/TempFiles.h"

namespace e2e {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Deadlines: generous, since only a failing test waits them out. Ten mode
// setups take four seconds on the dispatch thread alone.
constexpr Millis LONG_WAIT = 60s;
constexpr Millis SHORT_WAIT = 10s;
// The Exit sequence (stop record, end of the dispatch thread, the core's
// destruction) must end within this, whatever the hosts do.
constexpr Millis EXIT_LIMIT = 15s;
constexpr Millis POLL_PACE = 20ms;
// A card whose host is back is connected by the next reconnect pass: one pace
// (20 s, checked about once a second by Tick), then the link-up and a few mode
// setups of 400 ms each, with room for a loaded machine. Cards that needed a
// second pass would come back after 41 s or more.
constexpr Millis RECONNECT_WITHIN = 30s;

inline bool WaitUntil(const std::function<bool()>& condition, Millis timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (SteadyClock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(POLL_PACE);
    }
}

inline double SecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// A loopback address 127.x.y.z with x, y, z in 1..254 that this process has
// not handed out before.
inline std::string RandomLoopback() {
    static std::mutex lock;
    static std::set<std::string> used;
    static std::mt19937 random{std::random_device{}()};
    std::lock_guard guard(lock);
    std::uniform_int_distribution<int> octet(1, 254);
    for (;;) {
        const std::string address = "127." + std::to_string(octet(random)) + "." +
                                    std::to_string(octet(random)) + "." +
                                    std::to_string(octet(random));
        if (used.insert(address).second) {
            return address;
        }
    }
}

// Tries this many addresses before a host gives up listening.
constexpr int LISTEN_ATTEMPTS = 20;

// ---------------------------------------------------------------------------
// Commands as the station must send them, written out independently of the
// station's own templates.

inline std::string ConnectCommand(uint32_t serial) {
    return "<Message version=\"1.0\"><Command><Connect><Card serial-nr=\"" +
           std::to_string(serial) + "\"/></Connect></Command></Message>";
}
inline std::string SetCodeCommand(const std::string& code, const std::string& modulation) {
    return "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"code\" "
           "value=\"" +
           code + "\"/><Parameter name=\"modulation\" value=\"" + modulation +
           "\"/><Parameter name=\"input\" value=\"inp2\"/></ParameterList></Set></Command>"
           "</Message>";
}
inline const std::string SET_CONFIGURATION_COMMAND =
    "<Message version=\"1.0\"><Command><Set><Configuration "
    "information-indicators-interval-per-minute=\"0\"/></Set></Command></Message>";
inline std::string SetAlsCommand(const std::string& value) {
    return "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"als\" "
           "value=\"" +
           value + "\"/></ParameterList></Set></Command></Message>";
}
inline const std::string START_RESYNC_COMMAND =
    "<Message version=\"1.0\"><Command><Start item=\"resync\"/></Command></Message>";

inline std::string ModulationOf(const std::string& mode) {
    return mode == "sat-c-tdm" ? "bpsk" : "oqpsk";
}

// The commands of one mode setup, in order.
inline std::vector<std::string> ModeSetupCommands(const std::string& mode) {
    std::vector<std::string> commands = {SetCodeCommand("no-mode", "oqpsk"),
                                         SET_CONFIGURATION_COMMAND,
                                         SetCodeCommand(mode, ModulationOf(mode))};
    if (mode == "sat-c-tdm") {
        commands.push_back(commands.back());
    }
    return commands;
}

// ---------------------------------------------------------------------------
// Configuration.

struct CardEntry {
    std::string address;
    uint32_t serial = 0;
    std::string mode;    // keyword
    std::string device;  // keyword
};

inline uint16_t PortOf(const std::string& device) {
    if (device == "corax-e") {
        return PORT_CORAX_E;
    }
    if (device == "tarsa") {
        return PORT_TARSA;
    }
    return PORT_CORAX;
}

inline int32_t ModeIndex(const std::string& mode) {
    const char* const modes[] = {"sat-b", "sat-m", "sat-mini-m", "sat-c-tdm"};
    for (int32_t i = 0; i < 4; ++i) {
        if (mode == modes[i]) {
            return i;
        }
    }
    return -1;
}

inline int32_t DeviceIndex(const std::string& device) {
    const char* const devices[] = {"corax", "corax-e", "tarsa"};
    for (int32_t i = 0; i < 3; ++i) {
        if (device == devices[i]) {
            return i;
        }
    }
    return -1;
}

inline std::string ConfigText(const std::vector<CardEntry>& cards,
                              const std::vector<int32_t>& watchList, int alsPeriod,
                              int logInterval) {
    std::string text = "End-to-end test station.\n\n";
    int section = 1;
    for (const CardEntry& card : cards) {
        text += "[card_" + std::to_string(section++) + "]\naddress = " + card.address +
                ";\nserialno = " + std::to_string(card.serial) + ";\nmode = " + card.mode +
                ";\ndevice = " + card.device + ";\n\n";
    }
    for (const int32_t mesId : watchList) {
        text += "[watch]\nmesid = " + std::to_string(mesId) + ";\n\n";
    }
    text += "[als]\nperiod = " + std::to_string(alsPeriod) + ";\n\n";
    text += "[log]\nperiod = " + std::to_string(logInterval) + ";\n";
    return text;
}

// ---------------------------------------------------------------------------
// Environment.

using ::CEnvGuard;
using ::CTempDir;

// ---------------------------------------------------------------------------
// Card hosts.

// Collects a host's output lines; fed from the host's thread.
class COutputLog {
public:
    CCardHost::OutputFn Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(m_lock);
            m_lines.push_back(line);
        };
    }

    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_lock);
        return m_lines;
    }

    size_t Count(const std::string& line) const {
        std::lock_guard lock(m_lock);
        size_t count = 0;
        for (const std::string& candidate : m_lines) {
            count += candidate == line ? 1 : 0;
        }
        return count;
    }

    // How often the card with `serial` received `command`.
    size_t Received(uint32_t serial, const std::string& command) const {
        return Count("recv " + std::to_string(serial) + " " + command);
    }

    // The commands the card with `serial` received while attached, in order.
    std::vector<std::string> CommandsOf(uint32_t serial) const {
        const std::string prefix = "recv " + std::to_string(serial) + " ";
        std::vector<std::string> commands;
        for (const std::string& line : Lines()) {
            if (line.rfind(prefix, 0) == 0) {
                commands.push_back(line.substr(prefix.size()));
            }
        }
        return commands;
    }

    std::vector<std::string> Errors() const {
        std::vector<std::string> errors;
        for (const std::string& line : Lines()) {
            if (line.rfind("error", 0) == 0) {
                errors.push_back(line);
            }
        }
        return errors;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// Starts an emulated host carrying `serials` on `port`. With an empty
// `address` it picks a free random loopback address and returns it there;
// otherwise it listens on that one address (a host that comes back).
inline std::unique_ptr<CCardHost> StartCardHost(const std::vector<uint32_t>& serials, uint16_t port,
                                                COutputLog& log, std::string& address) {
    const bool fixed = !address.empty();
    std::string error;
    for (int attempt = 0; attempt < LISTEN_ATTEMPTS; ++attempt) {
        CardHostOptions options;
        options.address = fixed ? address : RandomLoopback();
        options.port = port;
        options.serials = serials;
        auto host = std::make_unique<CCardHost>(options, log.Sink());
        if (host->Start(error)) {
            address = options.address;
            return host;
        }
        if (fixed) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ADD_FAILURE() << "no card host could listen: " << error;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Hostile hosts on raw sockets.

// One accepted connection of a raw host, used by the test's thread.
class CRawConnection {
public:
    explicit CRawConnection(int fd) : m_fd(fd) {
        // A station that stops reading must not hold the test in send().
        timeval limit{10, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    ~CRawConnection() { Close(); }
    CRawConnection(const CRawConnection&) = delete;
    CRawConnection& operator=(const CRawConnection&) = delete;

    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

    // Closes with a reset instead of an orderly end.
    void Reset() {
        if (m_fd >= 0) {
            linger hard{1, 0};
            setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            Close();
        }
    }

    bool SendRaw(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<size_t>(sent));
        }
        return true;
    }

    static std::string Header(uint32_t length) {
        const char header[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                                static_cast<char>(length >> 8), static_cast<char>(length)};
        return std::string(header, 4);
    }

    bool SendFrame(std::string_view text) { return SendRaw(EncodeFrame(text)); }

    // The next frame that is not a keep-alive; nothing when the time runs out
    // or the station closes first.
    std::optional<std::string> Receive(Millis timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            while (m_buffer.size() >= 4) {
                const uint32_t length =
                    DecodeFrameLength(reinterpret_cast<const unsigned char*>(m_buffer.data()));
                if (m_buffer.size() < 4 + size_t{length}) {
                    break;
                }
                std::string text = m_buffer.substr(4, length);
                m_buffer.erase(0, 4 + size_t{length});
                if (!text.empty()) {
                    return text;
                }
            }
            if (!Fill(deadline)) {
                return std::nullopt;
            }
        }
    }

    // Reads until the station sends `command`; false when it does not in time.
    bool WaitForCommand(const std::string& command, Millis timeout = SHORT_WAIT) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<Millis>(deadline - SteadyClock::now());
            const std::optional<std::string> text = Receive(std::max(left, Millis(0)));
            if (!text) {
                return false;
            }
            if (*text == command) {
                return true;
            }
        }
    }

    // True when the station ends the connection within the time.
    bool WaitClosed(Millis timeout = SHORT_WAIT) {
        const auto deadline = SteadyClock::now() + timeout;
        while (Fill(deadline)) {
            m_buffer.clear();
        }
        return m_closed;
    }

private:
    bool Fill(SteadyClock::time_point deadline) {
        if (m_fd < 0 || m_closed) {
            return false;
        }
        const auto left = std::chrono::duration_cast<Millis>(deadline - SteadyClock::now());
        pollfd ready{m_fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t got = recv(m_fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            m_closed = true;
            return false;
        }
        m_buffer.append(chunk, static_cast<size_t>(got));
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;
    bool m_closed = false;
};

// Sends a keep-alive on a raw connection every KEEPALIVE_PACE from a thread of
// its own while it lives, as a host with nothing to say still does, so that
// the station's limit on silent links leaves the link up. The connection must
// outlive it and is not used by anyone else meanwhile.
class CKeepAlivePump {
public:
    static constexpr Millis KEEPALIVE_PACE = 2s;

    explicit CKeepAlivePump(CRawConnection& connection)
        : m_connection(connection), m_thread([this] { Run(); }) {}
    ~CKeepAlivePump() {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_stopped.notify_all();
        m_thread.join();
    }
    CKeepAlivePump(const CKeepAlivePump&) = delete;
    CKeepAlivePump& operator=(const CKeepAlivePump&) = delete;

private:
    void Run() {
        std::unique_lock lock(m_lock);
        while (!m_stopped.wait_for(lock, KEEPALIVE_PACE, [this] { return m_stop; })) {
            (void)m_connection.SendRaw(CRawConnection::Header(0));
        }
    }

    CRawConnection& m_connection;
    std::mutex m_lock;
    std::condition_variable m_stopped;
    bool m_stop = false;
    std::thread m_thread;  // last: starts once everything it uses exists
};

// A listener on a random loopback address and a device port. Its own thread
// accepts every connection the station makes and either closes it at once or
// hands it to the test (TakeConnection). Whatever the test has not taken is
// closed when the host ends.
class CRawHost {
public:
    enum class Accepting { Hold, CloseAtOnce };

    CRawHost(uint16_t port, Accepting accepting) : m_accepting(accepting) {
        for (int attempt = 0; attempt < LISTEN_ATTEMPTS && m_listenFd < 0; ++attempt) {
            Listen(RandomLoopback(), port);
        }
        if (m_listenFd < 0) {
            ADD_FAILURE() << "no raw host could listen on port " << port;
            return;
        }
        m_thread = std::thread([this] { Run(); });
    }

    ~CRawHost() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_listenFd >= 0) {
            close(m_listenFd);
        }
        for (const int fd : m_held) {
            close(fd);
        }
    }

    CRawHost(const CRawHost&) = delete;
    CRawHost& operator=(const CRawHost&) = delete;

    const std::string& Address() const { return m_address; }
    int Accepted() const { return m_accepted.load(); }

    std::unique_ptr<CRawConnection> TakeConnection(Millis timeout = LONG_WAIT) {
        std::unique_lock lock(m_lock);
        if (!m_arrived.wait_for(lock, timeout, [this] { return !m_held.empty(); })) {
            return nullptr;
        }
        const int fd = m_held.front();
        m_held.pop_front();
        return std::make_unique<CRawConnection>(fd);
    }

private:
    void Listen(const std::string& address, uint16_t port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 16) != 0) {
            close(fd);
            return;
        }
        m_listenFd = fd;
        m_address = address;
    }

    void Run() {
        while (!m_stop) {
            pollfd ready{m_listenFd, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) {
                continue;
            }
            const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ++m_accepted;
            if (m_accepting == Accepting::CloseAtOnce) {
                close(fd);
                continue;
            }
            {
                std::lock_guard lock(m_lock);
                m_held.push_back(fd);
            }
            m_arrived.notify_all();
        }
    }

    const Accepting m_accepting;
    int m_listenFd = -1;
    std::string m_address;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::deque<int> m_held;
};

// ---------------------------------------------------------------------------
// The station.

// One run of the station: its own configuration and data folders (named by
// the two environment variables), the core built from the configuration file
// with the real clocks, and the dispatch thread, as the console mode runs them.
class CStation {
public:
    CStation()
        : m_configEnv(CONFIG_DIR_VARIABLE, m_configDir.Path()),
          m_dataEnv(DATA_DIR_VARIABLE, DataDir()) {}

    ~CStation() {
        if (m_run && m_run->HasCore()) {
            Exit();
        }
    }

    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    void WriteConfig(const std::string& text) {
        std::ofstream out(m_configDir.Path() + "/OrvaneSystemDx.ini", std::ios::binary);
        out << text;
    }

    // The statistics folder; not created before the station writes its file.
    std::string DataDir() const { return m_dataRoot.Path() + "/Data"; }

    // Builds the core (no command-line periods: the file gives them) and
    // starts the dispatch thread.
    void Start() {
        m_started = SteadyClock::now();
        m_startWall = time(nullptr);
        CStationRun::Options options;
        options.refresh = [this] { ++m_refreshes; };
        m_run = std::make_unique<CStationRun>(ReadStationConfig(0, 0), std::move(options));
        m_run->Start();
    }

    const COrvane& Core() const { return m_run->Core(); }
    SteadyClock::time_point Started() const { return m_started; }
    int64_t StartWall() const { return m_startWall; }
    int Refreshes() const { return m_refreshes.load(); }
    std::vector<std::string> Messages() const { return m_messages.Messages(); }

    std::vector<CardState> Rows() const {
        std::vector<CardState> rows;
        if (m_run && m_run->HasCore()) {
            m_run->Core().GetCardRows(rows);
        }
        return rows;
    }

    // True when every card numbered in `cards` (1-based; all cards when empty)
    // satisfies `condition`.
    bool All(const std::function<bool(const CardState&)>& condition,
             const std::vector<int32_t>& cards = {}) const {
        const std::vector<CardState> rows = Rows();
        if (rows.empty()) {
            return false;
        }
        for (const CardState& row : rows) {
            const bool named =
                cards.empty() || std::find(cards.begin(), cards.end(), row.number) != cards.end();
            if (named && !condition(row)) {
                return false;
            }
        }
        return true;
    }

    // The Exit sequence: the stop record, the end of the dispatch thread, the
    // core's destruction. Returns its duration. A sequence that hangs aborts
    // the test program rather than the whole test run.
    Millis Exit() {
        const auto begin = SteadyClock::now();
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        std::thread exiting([this, &done] {
            m_run->Stop();
            m_run->End();
            done.set_value();
        });
        if (finished.wait_for(EXIT_LIMIT) != std::future_status::ready) {
            std::fprintf(stderr, "the station's Exit sequence did not end within %lld ms\n",
                         static_cast<long long>(EXIT_LIMIT.count()));
            std::abort();
        }
        exiting.join();
        return std::chrono::duration_cast<Millis>(SteadyClock::now() - begin);
    }

private:
    CTempDir m_configDir;
    CTempDir m_dataRoot;
    CEnvGuard m_configEnv;
    CEnvGuard m_dataEnv;
    CMessageRecorder m_messages;
    std::unique_ptr<CStationRun> m_run;
    std::atomic<int> m_refreshes{0};
    SteadyClock::time_point m_started;
    int64_t m_startWall = 0;
};

// Watches rows on a thread of its own, as a status table does while the
// dispatch thread changes them, and remembers the first row that breaks
// `rule`. The rule sees every card's row. Stop it before the station exits.
class CRowWatch {
public:
    CRowWatch(const CStation& station, std::function<bool(const CardState&)> rule)
        : m_station(station), m_rule(std::move(rule)), m_thread([this] { Run(); }) {}
    ~CRowWatch() { Stop(); }
    CRowWatch(const CRowWatch&) = delete;
    CRowWatch& operator=(const CRowWatch&) = delete;

    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // Empty while no row broke the rule.
    std::string Violation() const {
        std::lock_guard lock(m_lock);
        return m_violation;
    }
    int Reads() const { return m_reads.load(); }

private:
    void Run() {
        while (!m_stop) {
            for (const CardState& row : m_station.Rows()) {
                if (!m_rule(row)) {
                    std::lock_guard lock(m_lock);
                    if (m_violation.empty()) {
                        m_violation = "card " + std::to_string(row.number) + " had status " +
                                      std::to_string(row.status) + " MES ID " +
                                      std::to_string(row.mesId);
                    }
                }
            }
            ++m_reads;
            std::this_thread::sleep_for(5ms);
        }
    }

    const CStation& m_station;
    const std::function<bool(const CardState&)> m_rule;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_reads{0};
    mutable std::mutex m_lock;
    std::string m_violation;
    std::thread m_thread;  // last: starts once everything it uses exists
};

}  // namespace e2e
