// bench_history: the session history and the run journal as the station runs
// them, each behind its CAsyncObserver, with their files on disk.
//
//   burst:    SESSIONS sessions (a start and an end each) handed to the
//             history as fast as the caller can; the time until the last one
//             is committed gives the sessions recorded per second.
//   dispatch: samples and sessions handed to the journal and the history at
//             a dispatch thread's pace (one every PACE microseconds); the
//             time each OnEvent call takes on the calling thread, 99th
//             percentile and maximum.
//
// The files go to a new folder below FOLDER (default $TMPDIR or /tmp), removed
// at the end. Prints one "name: value" line per figure; exits 1 when a file
// could not be opened or a session was not recorded.
//
//   bench_history [--dir FOLDER] [--sessions N] [--dispatch-events N] [--pace-us N]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/AsyncObserver.h"
#include "history/RunJournal.h"
#include "history/SessionHistory.h"
#include "history/SessionQuery.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Settings {
    std::string dir;
    int sessions = 20000;  // two events each: within the history's queue of 50,000
    int dispatchEvents = 50000;
    int paceUs = 100;
};

bool ReadSettings(int argc, char** argv, Settings& settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--dir") {
            settings.dir = value;
        } else if (name == "--sessions") {
            settings.sessions = std::atoi(value);
        } else if (name == "--dispatch-events") {
            settings.dispatchEvents = std::atoi(value);
        } else if (name == "--pace-us") {
            settings.paceUs = std::atoi(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && settings.sessions > 0 && settings.dispatchEvents > 0;
}

StationInfo TenCards() {
    StationInfo info;
    info.startTime = 1700000000;
    info.logInterval = 4;
    for (int32_t number = 1; number <= 10; ++number) {
        CardState card;
        card.number = number;
        card.address = "127.0.0." + std::to_string(1 + (number - 1) / 4);
        card.serialNumber = 4700 + number;
        info.cards.push_back(card);
    }
    return info;
}

StationEvent Session(StationEventKind kind, int32_t index) {
    StationEvent event;
    event.kind = kind;
    event.card = 1 + index % 10;
    event.serialNumber = 4700 + event.card;
    event.wallTime = 1700000000 + index;
    event.mesId = 100000 + index;
    event.service = 1 + index % 6;
    event.value = kind == StationEventKind::SessionEnded ? 5 : 0;
    return event;
}

std::unique_ptr<CAsyncObserver> History(const std::string& path) {
    auto history = std::make_unique<CSessionHistory>(
        path, [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
    if (!history->Open()) {
        return nullptr;
    }
    // As the station attaches it.
    CAsyncObserver::Options options;
    options.capacity = 50000;
    options.filter = CSessionHistory::Records;
    return std::make_unique<CAsyncObserver>(std::move(history), options);
}

double Burst(const Settings& settings, const std::string& path, size_t& recorded) {
    std::unique_ptr<CAsyncObserver> history = History(path);
    if (!history) {
        return 0;
    }
    history->OnRunStarted(TenCards());
    const auto start = SteadyClock::now();
    for (int32_t i = 0; i < settings.sessions; ++i) {
        history->OnEvent(Session(StationEventKind::SessionFollowed, i));
        history->OnEvent(Session(StationEventKind::SessionEnded, i));
    }
    history->Drain();
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    history.reset();
    std::vector<SessionRecord> sessions;
    std::string error;
    QuerySessions(path, {}, sessions, error);
    recorded = static_cast<size_t>(std::count_if(sessions.begin(), sessions.end(),
                                                 [](const SessionRecord& s) { return s.end; }));
    return settings.sessions / seconds;
}

bool Dispatch(const Settings& settings, const std::string& dir, double& p99, double& maximum) {
    std::unique_ptr<CAsyncObserver> history = History(dir + "/dispatch.db");
    auto journal = std::make_unique<CRunJournal>(dir, 1700000000, [](const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
    });
    if (!history || !journal->Open()) {
        return false;
    }
    CAsyncObserver::Options options;
    options.capacity = 100000;
    options.filter = [](const StationEvent& event) {
        return event.kind == StationEventKind::Sample ||
               event.kind == StationEventKind::BusySeconds ||
               event.kind == StationEventKind::StatisticsWritten;
    };
    CAsyncObserver journalObserver(std::move(journal), options);
    const StationInfo info = TenCards();
    history->OnRunStarted(info);
    journalObserver.OnRunStarted(info);

    // The dispatch thread hands every event to every observer: a sample goes
    // to both, as does a session, and each one takes what it wants.
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(settings.dispatchEvents) * 2);
    auto next = SteadyClock::now();
    for (int32_t i = 0; i < settings.dispatchEvents; ++i) {
        StationEvent event;
        if (i % 2 == 0) {
            event.kind = StationEventKind::Sample;
            event.sample.time = 1700000000 + i;
            event.sample.busy[static_cast<size_t>(i % 10)] = 1;
            event.value = i / 2 + 1;
        } else {
            event = Session(
                i % 4 == 1 ? StationEventKind::SessionFollowed : StationEventKind::SessionEnded,
                i / 4);
        }
        for (CStationObserver* observer : {static_cast<CStationObserver*>(history.get()),
                                           static_cast<CStationObserver*>(&journalObserver)}) {
            const auto before = SteadyClock::now();
            observer->OnEvent(event);
            micros.push_back(
                std::chrono::duration<double, std::micro>(SteadyClock::now() - before).count());
        }
        next += std::chrono::microseconds(settings.paceUs);
        std::this_thread::sleep_until(next);
    }
    history->Drain();
    journalObserver.Drain();
    std::sort(micros.begin(), micros.end());
    p99 = micros[micros.size() * 99 / 100];
    maximum = micros.back();
    return history->Dropped() == 0 && journalObserver.Dropped() == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!ReadSettings(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: bench_history [--dir FOLDER] [--sessions N] [--dispatch-events N] "
                     "[--pace-us N]\n");
        return 2;
    }
    std::string dir = settings.dir;
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        dir = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    }
    dir += "/orvane-history-bench.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = 0;
    size_t recorded = 0;
    const double perSecond = Burst(settings, dir + "/burst.db", recorded);
    std::printf("history sessions recorded: %zu of %d\n", recorded, settings.sessions);
    if (recorded != static_cast<size_t>(settings.sessions)) {
        status = 1;
    }
    double p99 = 0;
    double maximum = 0;
    if (!Dispatch(settings, dir, p99, maximum)) {
        std::fprintf(stderr, "bench_history: the dispatch run lost events or could not start\n");
        status = 1;
    }
    std::printf("journal_dispatch_us_max: %.1f\n", maximum);
    std::printf("history_sessions_per_s: %.0f\n", perSecond);
    std::printf("journal_dispatch_us_p99: %.2f\n", p99);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
