// soak_tool: the soak run's two helpers.
//
//   soak_tool watch STATUS_LOG
//       Reads the console station's output on standard input and appends a
//       line "EPOCH_MS CARD STATUS MESID" to STATUS_LOG for every card whose
//       status or MES ID differs from the table before (all cards for the
//       first table), flushed at once, so the log tells when each card was in
//       which state as the station showed it.
//
//   soak_tool check --status LOG --events LOG --stats FILE --interval S
//                   --start-ms T --stop-ms T --recovery-ms N
//                   --host CARDS [--host CARDS ...]
//       Checks a finished run. The events log, written by scripts/soak, has
//       lines "EPOCH_MS down HOST", "EPOCH_MS up HOST" (listening again),
//       "EPOCH_MS drop HOST all" and "EPOCH_MS drop HOST CARD"; --host lists
//       the card numbers of host 0, 1, ... as "1,2,3,4". Prints one line per
//       check and a few figures; exits 1 when a check fails.
//
//   soak_tool stats FILE...
//       Reads statistics files for the crash sweep (scripts/crash-sweep): one
//       line per file, its fields separated by tabs:
//         FILE START STOP SAMPLE_LINES TOTAL_COUNTS PROBLEM
//       START and STOP in seconds since 1970 (-1 when unreadable), TOTAL_COUNTS
//       -1 without its line, PROBLEM the first thing that does not match the
//       layout or "-". Exits 1 when a file cannot be opened.
//
//   soak_tool kill-at-create DIR PID_FILE LIMIT_MS
//       Watches DIR (inotify) and prints "ready"; sends SIGKILL to the process
//       whose id PID_FILE holds (once it is written) the moment a file named
//       *.tmp is created there, or LIMIT_MS after "ready" when none is. Prints
//       "created NAME" or "limit", so the crash sweep can kill a station while
//       it writes a statistics file.

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/ConsoleTable.h"
#include "bench/SoakCheck.h"

namespace {

constexpr int32_t STATUS_MODE_RUNNING = 3;
constexpr int32_t STATUS_BUSY_SESSION = 4;
constexpr int64_t MS = 1000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int Watch(const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "a");
    if (out == nullptr) {
        std::fprintf(stderr, "soak_tool: cannot open %s\n", path.c_str());
        return 1;
    }
    CConsoleTableReader reader;
    std::map<int32_t, std::pair<int32_t, int64_t>> shown;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!reader.Feed(line)) {
            continue;
        }
        const int64_t now = NowMs();
        for (const ConsoleRow& row : reader.Rows()) {
            const std::pair<int32_t, int64_t> state{row.status, row.mesId};
            auto it = shown.find(row.number);
            if (it == shown.end() || it->second != state) {
                shown[row.number] = state;
                std::fprintf(out, "%lld %d %d %lld\n", static_cast<long long>(now), row.number,
                             row.status, static_cast<long long>(row.mesId));
            }
        }
        std::fflush(out);
    }
    std::fclose(out);
    return 0;
}

// ---- check ----

struct Event {
    int64_t ms;
    std::string kind;  // down, up, drop
    size_t host;
    std::string what;  // drop: "all" or a card number
};

std::vector<int32_t> ParseCards(const std::string& text) {
    std::vector<int32_t> cards;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        cards.push_back(std::atoi(item.c_str()));
    }
    return cards;
}

struct CheckSettings {
    std::string statusLog;
    std::string eventsLog;
    std::string statsFile;
    int64_t interval = 0;
    int64_t startMs = 0;
    int64_t stopMs = 0;
    int64_t recoveryMs = 30000;
    std::vector<std::vector<int32_t>> hosts;
};

class CReport {
public:
    void Check(const std::string& name, bool ok, const std::string& detail) {
        std::printf("check %-22s %s%s%s\n", (name + ":").c_str(), ok ? "ok" : "FAILED",
                    detail.empty() ? "" : " - ", detail.c_str());
        m_failed = m_failed || !ok;
    }
    bool Failed() const { return m_failed; }

private:
    bool m_failed = false;
};

std::string Fixed(double value, int decimals = 1) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int Check(const CheckSettings& settings) {
    CReport report;
    CStatusHistory history;
    {
        std::ifstream file(settings.statusLog);
        if (!file) {
            std::fprintf(stderr, "soak_tool: cannot read %s\n", settings.statusLog.c_str());
            return 1;
        }
        history.Load(file);
    }
    std::vector<Event> events;
    {
        std::ifstream file(settings.eventsLog);
        std::string line;
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            Event event;
            if (fields >> event.ms >> event.kind >> event.host) {
                fields >> event.what;
                if (event.host < settings.hosts.size()) {
                    events.push_back(event);
                }
            }
        }
    }

    // Recovery: every card affected by a return (host listening again) or a
    // dropped link is back in Mode Running within the limit.
    std::vector<std::string> late;
    double worstSeconds = 0;
    size_t recoveries = 0;
    struct Window {
        int32_t card;
        int64_t from;
        int64_t to;
    };
    std::vector<Window> downWindows;  // the card cannot have been busy in these
    std::map<size_t, int64_t> downSince;
    for (const Event& event : events) {
        const std::vector<int32_t>& hostCards = settings.hosts[event.host];
        if (event.kind == "down") {
            downSince[event.host] = event.ms;
            continue;
        }
        std::vector<int32_t> affected = hostCards;
        if (event.kind == "drop" && event.what != "all") {
            affected = {std::atoi(event.what.c_str())};
        }
        if (event.kind == "up" && downSince.count(event.host) > 0) {
            for (const int32_t card : hostCards) {
                downWindows.push_back({card, downSince[event.host], event.ms});
            }
            downSince.erase(event.host);
        }
        const int64_t deadline = std::min(event.ms + settings.recoveryMs, settings.stopMs);
        for (const int32_t card : affected) {
            ++recoveries;
            const int64_t back = history.BackSince(card, event.ms, deadline);
            if (back < 0) {
                late.push_back("card " + std::to_string(card) + " (" + event.kind + " of host " +
                               std::to_string(event.host) + " at +" +
                               Fixed(static_cast<double>(event.ms - settings.startMs) / MS) +
                               " s) shows status " + std::to_string(history.At(card, deadline)) +
                               " " + Fixed(static_cast<double>(deadline - event.ms) / MS) +
                               " s later");
                continue;
            }
            worstSeconds = std::max(worstSeconds, static_cast<double>(back - event.ms) / MS);
            if (event.kind == "drop" && back > event.ms) {
                downWindows.push_back({card, event.ms, back});
            }
        }
    }
    std::string lateText;
    for (const std::string& text : late) {
        lateText += (lateText.empty() ? "" : "; ") + text;
    }
    report.Check("recovery", late.empty(),
                 std::to_string(recoveries) + " card recoveries, slowest " + Fixed(worstSeconds) +
                     " s, limit " + Fixed(static_cast<double>(settings.recoveryMs) / MS) + " s" +
                     (lateText.empty() ? "" : ": " + lateText));

    // Every card up at the end.
    std::string downAtEnd;
    for (const std::vector<int32_t>& hostCards : settings.hosts) {
        for (const int32_t card : hostCards) {
            if (history.At(card, settings.stopMs) < STATUS_MODE_RUNNING) {
                downAtEnd += " " + std::to_string(card);
            }
        }
    }
    report.Check("all-up-at-end", downAtEnd.empty(),
                 downAtEnd.empty() ? "" : "cards not running:" + downAtEnd);

    // The statistics file.
    std::ifstream statsFile(settings.statsFile, std::ios::binary);
    StatFile stat = ReadStatistics(statsFile);
    if (!statsFile.is_open()) {
        stat.errors.push_back("cannot open " + settings.statsFile);
    }
    std::string formatErrors;
    for (const std::string& error : stat.errors) {
        formatErrors += (formatErrors.empty() ? "" : "; ") + error;
    }
    report.Check("stats-format", stat.errors.empty(), formatErrors);
    const int64_t startS = settings.startMs / MS;
    const int64_t stopS = settings.stopMs / MS;
    report.Check("stats-times",
                 std::llabs(stat.start - startS) <= 2 && std::llabs(stat.stop - stopS) <= 3,
                 "start " + std::to_string(stat.start - startS) + " s, stop " +
                     std::to_string(stat.stop - stopS) + " s from the run's own times");
    int32_t cardCount = 0;
    for (const auto& hostCards : settings.hosts) {
        cardCount += static_cast<int32_t>(hostCards.size());
    }
    report.Check("stats-cards", static_cast<int32_t>(stat.cards.size()) == cardCount,
                 std::to_string(stat.cards.size()) + " card lines");
    report.Check("stats-total", stat.totalCounts == static_cast<long>(stat.samples.size()),
                 std::to_string(stat.samples.size()) + " sample lines, total counts " +
                     std::to_string(stat.totalCounts));

    // Count and spacing of the samples. The timers count whole seconds of the
    // steady clock and the dispatch thread wakes when one is due, so a sample
    // comes every interval on average: the run holds duration / interval of
    // them (one more for the first, at the start; one less at worst for where
    // the stop fell). A gap lies within a second of the interval either way,
    // for the whole-second times.
    const double duration = static_cast<double>(settings.stopMs - settings.startMs) / MS;
    const double byInterval = duration / static_cast<double>(settings.interval);
    const auto samples = static_cast<double>(stat.samples.size());
    int64_t minGap = 1 << 30;
    int64_t maxGap = 0;
    double meanGap = 0;
    for (size_t i = 1; i < stat.samples.size(); ++i) {
        const int64_t gap = stat.samples[i].wallSeconds - stat.samples[i - 1].wallSeconds;
        minGap = std::min(minGap, gap);
        maxGap = std::max(maxGap, gap);
    }
    if (stat.samples.size() > 1) {
        meanGap = static_cast<double>(stat.samples.back().wallSeconds -
                                      stat.samples.front().wallSeconds) /
                  (samples - 1);
    }
    report.Check("stats-sample-count",
                 samples >= std::floor(byInterval) - 1 && samples <= byInterval + 2,
                 std::to_string(stat.samples.size()) + " samples in " + Fixed(duration) +
                     " s; duration/interval " + Fixed(byInterval));
    report.Check("stats-sample-spacing",
                 stat.samples.size() < 2 ||
                     (minGap >= settings.interval - 1 && maxGap <= settings.interval + 2),
                 "gaps " + std::to_string(minGap) + ".." + std::to_string(maxGap) + " s, mean " +
                     Fixed(meanGap, 2) + " s, interval " + std::to_string(settings.interval) +
                     " s");
    report.Check(
        "stats-first-sample",
        !stat.samples.empty() &&
            stat.samples.front().wallSeconds - stat.start <= settings.interval + 2,
        stat.samples.empty()
            ? "no sample"
            : std::to_string(stat.samples.front().wallSeconds - stat.start) + " s after start");

    // Counts per mode agree with the flags.
    std::string countErrors;
    for (const StatSampleLine& sample : stat.samples) {
        int counts[4] = {};
        for (size_t slot = 0; slot < stat.cards.size() && slot < sample.channels.size(); ++slot) {
            if (sample.channels[slot] == '1' && stat.cards[slot].mode >= 0) {
                ++counts[stat.cards[slot].mode];
            }
        }
        if (!std::equal(counts, counts + 4, sample.counts) && countErrors.size() < 200) {
            countErrors += " at " + std::to_string(sample.wallSeconds);
        }
    }
    report.Check("stats-mode-counts", countErrors.empty(), countErrors);

    // No busy flag while the card's host was down or its link dropped, one
    // interval of slack after the fall. A sample at wall second s was taken
    // in [s, s + 1).
    const int64_t slackMs = settings.interval * MS;
    size_t checkedFlags = 0;
    std::string busyWhileDown;
    for (const Window& window : downWindows) {
        for (const StatSampleLine& sample : stat.samples) {
            const int64_t from = sample.wallSeconds * MS;
            if (from < window.from + slackMs || from + MS > window.to) {
                continue;
            }
            ++checkedFlags;
            if (sample.channels[static_cast<size_t>(window.card - 1)] == '1') {
                busyWhileDown += " card " + std::to_string(window.card) + " at " +
                                 std::to_string(sample.wallSeconds);
            }
        }
    }
    report.Check("stats-no-busy-while-down", busyWhileDown.empty(),
                 std::to_string(downWindows.size()) + " down windows, " +
                     std::to_string(checkedFlags) + " flags in them" + busyWhileDown);

    // No flag contradicts what the table showed around the sample: a card
    // shown in one unchanged state from two seconds before to three after
    // (whole-second sample times, the table a few milliseconds behind the
    // core) was in that state when the sample was taken.
    size_t disagreements = 0;
    size_t provable = 0;
    std::string firstDisagreement;
    for (const StatSampleLine& sample : stat.samples) {
        const int64_t from = sample.wallSeconds * MS - 2 * MS;
        const int64_t to = sample.wallSeconds * MS + 3 * MS;
        for (size_t slot = 0; slot < stat.cards.size() && slot < sample.channels.size(); ++slot) {
            const auto card = static_cast<int32_t>(slot + 1);
            int32_t shown = -1;
            if (!history.HeldThroughout(card, from, to, shown)) {
                continue;
            }
            ++provable;
            const bool busy = sample.channels[slot] == '1';
            if (busy != (shown == STATUS_BUSY_SESSION)) {
                if (disagreements++ == 0) {
                    firstDisagreement = ", first: card " + std::to_string(card) + " at " +
                                        std::to_string(sample.wallSeconds);
                }
            }
        }
    }
    report.Check("stats-flags-match-table", disagreements == 0,
                 std::to_string(disagreements) + " of " + std::to_string(provable) +
                     " flags whose card the table showed unchanged around the sample" +
                     firstDisagreement);

    std::printf("soak_samples: %zu\n", stat.samples.size());
    std::printf("soak_recoveries: %zu\n", recoveries);
    std::printf("soak_slowest_recovery_s: %s\n", Fixed(worstSeconds).c_str());
    return report.Failed() ? 1 : 0;
}

bool ParseCheck(int argc, char** argv, CheckSettings& settings) {
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--status") {
            settings.statusLog = value;
        } else if (name == "--events") {
            settings.eventsLog = value;
        } else if (name == "--stats") {
            settings.statsFile = value;
        } else if (name == "--interval") {
            settings.interval = std::atoll(value.c_str());
        } else if (name == "--start-ms") {
            settings.startMs = std::atoll(value.c_str());
        } else if (name == "--stop-ms") {
            settings.stopMs = std::atoll(value.c_str());
        } else if (name == "--recovery-ms") {
            settings.recoveryMs = std::atoll(value.c_str());
        } else if (name == "--host") {
            settings.hosts.push_back(ParseCards(value));
        } else {
            return false;
        }
    }
    return argc % 2 == 0 && !settings.statusLog.empty() && !settings.eventsLog.empty() &&
           !settings.statsFile.empty() && settings.interval > 0 && settings.startMs > 0 &&
           settings.stopMs > settings.startMs && !settings.hosts.empty();
}

int Stats(int argc, char** argv) {
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "soak_tool: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        const StatFile stat = ReadStatistics(file);
        std::string problem = stat.errors.empty() ? "-" : stat.errors.front();
        std::replace(problem.begin(), problem.end(), '\t', ' ');
        std::printf("%s\t%lld\t%lld\t%zu\t%ld\t%s\n", argv[i], static_cast<long long>(stat.start),
                    static_cast<long long>(stat.stop), stat.samples.size(), stat.totalCounts,
                    problem.c_str());
    }
    return status;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The process id PID_FILE holds once it is written; 0 when it is not by `end`.
long ReadPid(const std::string& pidFile, int64_t end) {
    for (;;) {
        long pid = 0;
        std::ifstream(pidFile) >> pid;
        if (pid > 0 || NowMs() >= end) {
            return pid;
        }
        usleep(200);
    }
}

int KillAtCreate(const std::string& dir, const std::string& pidFile, int64_t limitMs) {
    const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_CREATE) < 0) {
        std::fprintf(stderr, "soak_tool: cannot watch %s\n", dir.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const int64_t end = NowMs() + limitMs;
    // The id first, and then a busy wait on the events: the file lives for a
    // few hundred microseconds, about as long as waking from poll takes.
    const long pid = ReadPid(pidFile, end);
    std::string created;
    while (pid > 0 && created.empty() && NowMs() < end) {
        alignas(inotify_event) char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < got && created.empty();) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string name = event->len > 0 ? event->name : "";
            if (EndsWith(name, ".tmp")) {
                kill(static_cast<pid_t>(pid), SIGKILL);
                created = name;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (pid > 0 && created.empty()) {
        kill(static_cast<pid_t>(pid), SIGKILL);
    }
    std::printf("%s\n", created.empty() ? "limit" : ("created " + created).c_str());
    close(fd);
    return pid > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "watch" && argc == 3) {
        return Watch(argv[2]);
    }
    if (command == "stats" && argc > 2) {
        return Stats(argc, argv);
    }
    if (command == "kill-at-create" && argc == 5) {
        return KillAtCreate(argv[2], argv[3], std::atoll(argv[4]));
    }
    CheckSettings settings;
    if (command == "check" && ParseCheck(argc, argv, settings)) {
        return Check(settings);
    }
    std::fprintf(stderr,
                 "usage: soak_tool watch STATUS_LOG\n"
                 "       soak_tool check --status LOG --events LOG --stats FILE --interval S\n"
                 "                       --start-ms T --stop-ms T --recovery-ms N --host CARDS...\n"
                 "       soak_tool stats FILE...\n"
                 "       soak_tool kill-at-create DIR PID_FILE LIMIT_MS\n");
    return 2;
}
