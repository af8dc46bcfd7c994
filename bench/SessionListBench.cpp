// bench_sessions: `--sessions` of the program as a process, on a large
// session history: its peak resident memory (the kernel's maximum resident
// set of the child, the figure /usr/bin/time -v gives) and its time, for the
// aligned table and for CSV.
//
// Fills a history of ROWS sessions (one transaction, one prepared insert) in a
// new data folder below FOLDER (default $TMPDIR or /tmp), removed at the end,
// then runs PROGRAM --sessions [--csv] on it under an address space limit
// (0: none) and counts what it prints. A child fills it, so that this process
// stays small: the peak of a program it starts counts what the two shared
// before the program began. Prints one "name: value" line per figure; exits 1
// when a run failed or did not print a line per session.
//
//   bench_sessions --program PATH [--rows N] [--dir FOLDER] [--address-limit-mb N]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/Processes.h"
#include "config/Folders.h"
#include "history/SessionHistory.h"
#include "history/SessionQuery.h"
#include "history/SqliteDatabase.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Settings {
    std::string program;
    std::string dir;
    int64_t rows = 5000000;
    int64_t addressLimitMb = 2048;
};

bool ReadSettings(int argc, char** argv, Settings& settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--program") {
            settings.program = value;
        } else if (name == "--dir") {
            settings.dir = value;
        } else if (name == "--rows") {
            settings.rows = std::atoll(value);
        } else if (name == "--address-limit-mb") {
            settings.addressLimitMb = std::atoll(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !settings.program.empty() && settings.rows > 0 &&
           settings.addressLimitMb >= 0;
}

// Sessions as ten cards on three hosts leave them: a start a second, a
// refusal now and then, a few left open, a reason of some length.
bool Fill(const std::string& path, int64_t rows) {
    if (!CSessionHistory(path, [](const std::string& text) {
             std::fprintf(stderr, "%s\n", text.c_str());
         }).Open()) {
        return false;
    }
    CSqliteDatabase db;
    if (!db.Open(path, CSqliteDatabase::Access::ReadWriteCreate) ||
        !db.QueryText("PRAGMA journal_mode = OFF") || !db.Exec("PRAGMA synchronous = OFF") ||
        !db.Exec("PRAGMA cache_size = -262144") || !db.Exec("BEGIN")) {
        std::fprintf(stderr, "bench_sessions: %s: %s\n", path.c_str(), db.Error().c_str());
        return false;
    }
    CSqliteStatement insert = db.Prepare(
        "INSERT INTO sessions(run, card, serial, address, device, mode, mes_id, service, "
        "start_time, end_time, outcome, reason, duration) "
        "VALUES(1, ?1, ?2, ?3, 'corax', ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    const char* const services[] = {"Data", "Telephone", "Fax", "ISDN", " "};
    const std::string addresses[] = {"127.0.0.1", "127.0.0.2", "card-host-c.station.example:48001"};
    const int64_t first = 1700000000;
    bool ok = insert.Valid();
    for (int64_t i = 0; ok && i < rows; ++i) {
        const int32_t card = static_cast<int32_t>(1 + i % 10);
        const bool refused = i % 7 == 3;
        const bool open = i % 1000 == 999;
        const int64_t duration = refused ? 0 : i % 5000;
        insert.Bind(1, int64_t{card});
        insert.Bind(2, int64_t{4700 + card});
        insert.Bind(3, addresses[(card - 1) / 4]);
        insert.Bind(4, std::string(card % 2 == 0 ? "sat-b" : "sat-m"));
        insert.Bind(5, int64_t{100000 + i % 90000});
        insert.Bind(6, std::string(services[i % 5]));
        insert.Bind(7, first + i);
        insert.Bind(8, open ? std::nullopt : std::optional<int64_t>(first + i + duration));
        insert.Bind(9, std::string(refused ? "refused" : "followed"));
        insert.Bind(10, std::string(refused ? "not on the watch list; resync"
                                    : open  ? ""
                                            : "end record"));
        insert.Bind(11, open ? std::nullopt : std::optional<int64_t>(duration));
        ok = insert.Run();
    }
    // As the station leaves it: in write-ahead log mode.
    if (!ok || !db.Exec("COMMIT") || db.QueryText("PRAGMA journal_mode = WAL") != "wal") {
        std::fprintf(stderr, "bench_sessions: %s: %s\n", path.c_str(), db.Error().c_str());
        return false;
    }
    return true;
}

struct SessionsRun {
    int status = -1;
    int64_t peakKb = 0;
    double seconds = 0;
    int64_t lines = 0;
    int64_t bytes = 0;
    std::string firstMessage;
};

// PROGRAM --sessions (and `more`) on the data folder `dir`, its output read
// and counted as it comes.
SessionsRun RunSessions(const Settings& settings, const std::string& dir, const char* more) {
    SessionsRun run;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return run;
    }
    const std::string messages = dir + "/messages";
    const int err = ::open(messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> argv = {settings.program, "--sessions"};
    if (more != nullptr) {
        argv.push_back(more);
    }
    // The child inherits the limit; this process's own use stays well below it.
    rlimit unlimited{};
    getrlimit(RLIMIT_AS, &unlimited);
    if (settings.addressLimitMb > 0) {
        rlimit limit = unlimited;
        limit.rlim_cur = static_cast<rlim_t>(settings.addressLimitMb) << 20;
        setrlimit(RLIMIT_AS, &limit);
    }
    const auto start = SteadyClock::now();
    const pid_t pid =
        SpawnProcess(argv, {std::string(DATA_DIR_VARIABLE) + "=" + dir}, ends[1], err);
    setrlimit(RLIMIT_AS, &unlimited);
    ::close(ends[1]);
    ::close(err);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(ends[0], buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        run.bytes += got;
        for (ssize_t i = 0; i < got; ++i) {
            run.lines += buffer[static_cast<size_t>(i)] == '\n' ? 1 : 0;
        }
    }
    ::close(ends[0]);
    int status = 0;
    rusage usage{};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        run.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.peakKb = usage.ru_maxrss;
    }
    if (FILE* file = std::fopen(messages.c_str(), "r")) {
        char line[512] = "";
        if (std::fgets(line, sizeof line, file) != nullptr) {
            run.firstMessage = line;
        }
        std::fclose(file);
    }
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!ReadSettings(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: bench_sessions --program PATH [--rows N] [--dir FOLDER] "
                     "[--address-limit-mb N]\n");
        return 2;
    }
    std::string dir = settings.dir;
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    }
    dir += "/orvane-sessions-bench.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = 0;
    const auto start = SteadyClock::now();
    // Filled by a child: the cache of the fill would otherwise stay in this
    // process, whose size a child started from it starts with.
    const pid_t filler = fork();
    if (filler == 0) {
        _exit(Fill(dir + "/" + SESSION_DATABASE_NAME, settings.rows) ? 0 : 1);
    }
    if (filler < 0 || WaitProcess(filler) != 0) {
        status = 1;
    } else {
        std::printf("sessions_fill_s: %.1f\n",
                    std::chrono::duration<double>(SteadyClock::now() - start).count());
        struct Kind {
            const char* name;
            const char* argument;
        };
        for (const Kind& kind : {Kind{"table", nullptr}, Kind{"csv", "--csv"}}) {
            const SessionsRun run = RunSessions(settings, dir, kind.argument);
            std::printf("sessions_%s_peak_rss_mb: %.1f\n", kind.name,
                        static_cast<double>(run.peakKb) / 1024.0);
            std::printf("sessions_%s_s: %.1f\n", kind.name, run.seconds);
            std::printf("sessions_%s_output_mb: %.1f\n", kind.name,
                        static_cast<double>(run.bytes) / (1024.0 * 1024.0));
            // The heading and a line per session.
            if (run.status != 0 || run.lines != settings.rows + 1) {
                std::fprintf(stderr, "bench_sessions: %s: status %d, %lld lines: %s\n", kind.name,
                             run.status, static_cast<long long>(run.lines),
                             run.firstMessage.c_str());
                status = 1;
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
