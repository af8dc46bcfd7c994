#include "app/ConsoleStation.h"

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

#include "app/DispatchThread.h"
#include "app/EventLines.h"
#include "app/LineOutput.h"
#include "app/Operations.h"
#include "app/ServiceNotifier.h"
#include "app/StatisticsOutcome.h"
#include "app/StatusNotes.h"
#include "app/StatusTable.h"
#include "app/TerminalView.h"
#include "config/Notifier.h"
#include "core/AsyncObserver.h"
#include "core/Monitor.h"

namespace {

// A pipe whose write end the dispatch thread pokes; both ends non-blocking.
class CWakePipe {
public:
    CWakePipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_readFd = fds[0];
            m_writeFd = fds[1];
        }
    }
    ~CWakePipe() {
        if (m_readFd >= 0) {
            close(m_readFd);
            close(m_writeFd);
        }
    }
    CWakePipe(const CWakePipe&) = delete;
    CWakePipe& operator=(const CWakePipe&) = delete;

    bool Valid() const { return m_readFd >= 0; }
    int ReadFd() const { return m_readFd; }

    // Dispatch thread: at most one byte is ever pending.
    void Poke() {
        if (!m_pending.exchange(true)) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t ignored = write(m_writeFd, &byte, 1);
        }
    }

    // Calling thread: empties the pipe and re-arms Poke before the table is
    // read, so a change made while printing asks for one more redraw.
    void Take() {
        std::array<char, 16> buffer;
        while (read(m_readFd, buffer.data(), buffer.size()) > 0) {
        }
        m_pending.store(false);
    }

private:
    int m_readFd = -1;
    int m_writeFd = -1;
    std::atomic<bool> m_pending{false};
};

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
    const MessageHandler shown = InstallMessageHandler(nullptr);
    std::size_t configNotes = settings.configWarnings;
    if (lines != nullptr) {
        // Messages become error lines for the whole run: the reader's now, the
        // journal's and the statistics file's later.
        for (const std::string& warning : settings.warningLines) {
            lines->Write(LinePriority::Warning, warning);
        }
        InstallMessageHandler(lines->MessageLines());
        eventLines = std::make_unique<CEventLineObserver>(*lines, settings.summaryEverySeconds);
    } else {
        // The reader's messages are counted on their way, for the terminal's first line.
        InstallMessageHandler([&configNotes, &shown](const std::string& text) {
            ++configNotes;
            if (shown) {
                shown(text);
            } else {
                std::fprintf(stderr, "%s\n", text.c_str());
            }
        });
    }
    auto core = std::make_unique<COrvane>(settings.logInterval, settings.alsPeriod, &SystemClock(),
                                          settings.logFile);
    if (lines == nullptr) {
        InstallMessageHandler(shown);
    }
    if (settings.operations != nullptr) {
        settings.operations->Attach(*core);
    }
    if (eventLines) {
        core->AddObserver(eventLines->Observer());
    }
    core->AddObserver(settings.serviceNotifier);

    std::unique_ptr<CTerminalView> view;
    if (settings.redrawInPlace && lines == nullptr) {
        view = std::make_unique<CTerminalView>(settings.out);
        view->Enter();
    }

    auto params = std::make_unique<DispatchParams>();
    params->core = core.get();
    if (lines == nullptr) {
        params->refresh = [&refresh] { refresh.Poke(); };
    }
    std::thread dispatch(DispatchThread, std::move(params));

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
            DrawFrame(*core, *view, configNotes,
                      settings.operations != nullptr
                          ? &settings.operations->Health()
                          : nullptr);  // also each second, for the clock line
        } else if (fds[1].revents != 0 && lines == nullptr) {
            PrintTable(*core, settings.out);
        }
    }

    // The Exit sequence: the core outlives the thread, and the refresh pipe
    // outlives both (the thread pokes it until it ends). The normal screen comes
    // back first, so that what the Exit sequence reports is seen. The statistics
    // file is written here, as the core's destructor would, so that its outcome
    // can become the exit status and the report's line.
    if (settings.serviceNotifier != nullptr) {
        settings.serviceNotifier->Stopping();
    }
    core->PostQuit();
    dispatch.join();
    if (view) {
        view->Leave();
    }
    if (eventLines) {
        eventLines->Drain();  // the run's lines before the Exit sequence's messages
    }
    const bool statisticsWritten = core->WriteStatistics();
    const std::string outcome = DescribeStatistics(*core);
    const bool fileWritten = !core->StatisticsPath().empty();
    core.reset();
    // The records end before the last line, so that what they tell on the way
    // (a history another program holds) has its priority and comes before it.
    if (settings.operations != nullptr) {
        settings.operations->Finish();
    }
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
        InstallMessageHandler(shown);
    } else if (settings.report != nullptr) {
        std::fprintf(settings.report, "OrvaneSystemDx: %s\n", outcome.c_str());
        std::fflush(settings.report);
    }
    return statisticsWritten ? 0 : 1;
}
