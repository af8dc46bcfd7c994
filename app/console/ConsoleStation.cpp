// Console mode's run: the station built with event lines or the table, one poll loop for stop,
// refresh and resize, then the Exit sequence and its last report. ConsoleStation.h draws it.
#include "app/console/ConsoleStation.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/console/EventLines.h"
#include "app/console/LineOutput.h"
#include "app/console/TerminalView.h"
#include "app/program/ServiceManagerNotifier.h"
#include "app/run/Operations.h"
#include "app/view/StatisticsOutcome.h"
#include "app/view/StatusNotes.h"
#include "app/view/StatusTable.h"
#include "config/Notifier.h"
#include "core/AsyncObserver.h"
#include "core/Monitor.h"
#include "core/StationRun.h"
#include "core/WakePipe.h"

namespace {

// Appends the table (standard output is a file or a pipe).
void PrintTable(const COrvane& core, std::FILE* out) {
    std::vector<CardState> rows;
    core.GetCardRows(rows);
    const std::string table =
        RenderStatusTable(rows, core.GetWatchList(), core.GetAlsPeriod(), core.GetLogInterval());
    // A closed standard output must not stop the station: the write is not checked.
    std::fwrite(table.data(), 1, table.size(), out);
    std::fflush(out);
}

void DrawFrame(const COrvane& core, CTerminalView& view, std::size_t configNotes,
               const CRecordHealth* health) {
    StatusFrame frame;
    core.GetCardRows(frame.rows);
    frame.watchList = core.GetWatchList();
    frame.alsPeriod = core.GetAlsPeriod();
    frame.logInterval = core.GetLogInterval();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    frame.headline = FormatLocalTime(now) + "  up " + FormatDuration(now - core.GetStartTime()) +
                     "  samples " + std::to_string(core.GetSampleCount());
    if (health != nullptr && health->Generation() != 0) {
        const std::string troubles = RecordTroublesText(health->Troubles());
        frame.headline += troubles.empty() ? "" : "  " + troubles;
    }
    if (configNotes > 0) {
        frame.headline += "  (" + std::to_string(configNotes) + " configuration note" +
                          (configNotes == 1 ? "" : "s") + " on standard error, shown at exit)";
    }
    view.Draw(frame);
}

// Milliseconds to the next whole second, when the terminal's clock line is due.
int MillisecondsToNextSecond() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int>(1000 - now.tv_nsec / 1000000);
}

// The event lines' queue: card events only (samples and busy times are
// counted in the summary from the snapshot), so a burst of sessions on ten
// cards fits many times over.
constexpr size_t EVENT_LINE_QUEUE = 10000;

bool IsLineEvent(const StationEvent& event) {
    return event.kind != StationEventKind::Sample && event.kind != StationEventKind::BusySeconds;
}

// The event lines behind their own queue and thread; the dispatch thread only
// copies each event into the queue.
class CEventLineObserver {
public:
    CEventLineObserver(CLineOutput& lines, int64_t summaryEverySeconds) {
        CEventLines::Options lineOptions;
        lineOptions.summaryEverySeconds = summaryEverySeconds;
        lineOptions.dropped = [this] {
            const CAsyncObserver* observer = m_observer.load();
            return observer != nullptr ? observer->Dropped() : 0;
        };
        CAsyncObserver::Options options;
        options.capacity = EVENT_LINE_QUEUE;
        options.filter = IsLineEvent;
        m_async = std::make_unique<CAsyncObserver>(
            std::make_unique<CEventLines>(lines, std::move(lineOptions)), std::move(options));
        m_observer.store(m_async.get());
    }
    ~CEventLineObserver() { m_observer.store(nullptr); }

    CEventLineObserver(const CEventLineObserver&) = delete;
    CEventLineObserver& operator=(const CEventLineObserver&) = delete;

    CStationObserver* Observer() { return m_async.get(); }
    // Everything handed in so far is written.
    void Drain() { m_async->Drain(); }
    // Writes what is still queued and ends the thread; how many events were lost.
    uint64_t Finish() {
        m_async->Drain();
        const uint64_t dropped = m_async->Dropped();
        m_observer.store(nullptr);
        m_async.reset();
        return dropped;
    }

private:
    std::atomic<const CAsyncObserver*> m_observer{nullptr};
    std::unique_ptr<CAsyncObserver> m_async;
};

}  // namespace

int RunConsoleStation(const ConsoleStationSettings& settings) {
    CWakePipe refresh;
    if (!refresh.Valid()) {
        std::fprintf(stderr, "OrvaneSystemDx: cannot create a pipe\n");
        return 1;
    }

    CLineOutput* const lines = settings.lines;
    std::unique_ptr<CEventLineObserver> eventLines;
    const MessageHandler shown =
        settings.messages ? settings.messages : MessageHandler(ShowMessage);
    std::size_t configNotes = settings.configWarnings;
    MessageHandler configMessages;
    CStationRun::Options options;
    if (lines != nullptr) {
        // Messages become error lines for the whole run: the reader's now, the
        // statistics file's later.
        for (const std::string& warning : settings.warningLines) {
            lines->Write(LinePriority::Warning, warning);
        }
        configMessages = lines->MessageLines();
        options.messages = lines->MessageLines();
        eventLines = std::make_unique<CEventLineObserver>(*lines, settings.summaryEverySeconds);
    } else {
        // The reader's messages are counted on their way, for the terminal's first line.
        configMessages = [&configNotes, &shown](const std::string& text) {
            ++configNotes;
            shown(text);
        };
        options.messages = shown;
        options.refresh = [&refresh] { refresh.Poke(); };
    }
    CStationRun run(ReadStationConfig(settings.logInterval, settings.alsPeriod, settings.logFile,
                                      configMessages),
                    std::move(options));
    run.Extend(settings.operations);
    if (eventLines) {
        run.AddObserver(eventLines->Observer());
    }
    run.AddObserver(settings.serviceNotifier);
    const COrvane& core = run.Core();

    std::unique_ptr<CTerminalView> view;
    if (settings.redrawInPlace && lines == nullptr) {
        view = std::make_unique<CTerminalView>(settings.out);
        view->Enter();
    }
    run.Start();

    std::array<pollfd, 3> fds{};
    fds[0].fd = settings.stopFd;
    fds[0].events = POLLIN;
    fds[1].fd = refresh.ReadFd();
    fds[1].events = POLLIN;
    fds[2].fd = view ? view->ResizeFd() : -1;  // poll passes over a negative descriptor
    fds[2].events = POLLIN;
    for (;;) {
        for (pollfd& fd : fds) {
            fd.revents = 0;
        }
        const int ready = poll(fds.data(), fds.size(), view ? MillisecondsToNextSecond() : -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // cannot wait any more: stop in order rather than spin
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[2].revents != 0) {
            view->TakeResize();
        }
        if (fds[1].revents != 0) {
            refresh.Take();
        }
        if (view) {
            DrawFrame(core, *view, configNotes,
                      settings.operations != nullptr
                          ? &settings.operations->Health()
                          : nullptr);  // also each second, for the clock line
        } else if (fds[1].revents != 0 && lines == nullptr) {
            PrintTable(core, settings.out);
        }
    }

    // The Exit sequence, in the run's order; the refresh pipe outlives the run
    // (the thread pokes it until it ends). The normal screen comes back first,
    // so that what the Exit sequence reports is seen. The statistics file is
    // written before the core goes, so that its outcome can become the exit
    // status and the report's line.
    if (settings.serviceNotifier != nullptr) {
        settings.serviceNotifier->Stopping();
    }
    run.Stop();
    if (view) {
        view->Leave();
    }
    if (eventLines) {
        eventLines->Drain();  // the run's lines before the Exit sequence's messages
    }
    const bool statisticsWritten = run.WriteStatistics();
    const std::string outcome = DescribeStatistics(core);
    const bool fileWritten = !core.StatisticsPath().empty();
    // The core goes, then the records end before the last line, so that what
    // they tell on the way (a history another program holds) has its priority
    // and comes before it.
    run.End();
    if (eventLines) {
        const uint64_t dropped = eventLines->Finish();
        if (dropped > 0) {
            lines->Write(LinePriority::Warning,
                         std::to_string(dropped) +
                             " events were not written: standard output did not keep up");
        }
        // A file written has had its line already.
        lines->Write(statisticsWritten ? LinePriority::Info : LinePriority::Error,
                     fileWritten ? std::string("station stopped") : "station stopped; " + outcome);
    } else if (settings.report != nullptr) {
        std::fprintf(settings.report, "OrvaneSystemDx: %s\n", outcome.c_str());
        std::fflush(settings.report);
    }
    return statisticsWritten ? 0 : 1;
}
