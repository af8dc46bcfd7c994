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
#include "app/Operations.h"
#include "app/StatisticsOutcome.h"
#include "app/StatusNotes.h"
#include "app/StatusTable.h"
#include "app/TerminalView.h"
#include "config/Notifier.h"
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

void DrawFrame(const COrvane& core, CTerminalView& view, std::size_t configNotes) {
    StatusFrame frame;
    core.GetCardRows(frame.rows);
    frame.watchList = core.GetWatchList();
    frame.alsPeriod = core.GetAlsPeriod();
    frame.logInterval = core.GetLogInterval();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    frame.headline = FormatLocalTime(now) + "  up " + FormatDuration(now - core.GetStartTime()) +
                     "  samples " + std::to_string(core.GetSampleCount());
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

}  // namespace

int RunConsoleStation(const ConsoleStationSettings& settings) {
    CWakePipe refresh;
    if (!refresh.Valid()) {
        std::fprintf(stderr, "OrvaneSystemDx: cannot create a pipe\n");
        return 1;
    }

    // The reader's messages are counted on their way, for the terminal's first line.
    std::size_t configNotes = settings.configWarnings;
    const MessageHandler shown = InstallMessageHandler(nullptr);
    InstallMessageHandler([&configNotes, &shown](const std::string& text) {
        ++configNotes;
        if (shown) {
            shown(text);
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    });
    auto core = std::make_unique<COrvane>(settings.logInterval, settings.alsPeriod);
    InstallMessageHandler(shown);
    if (settings.operations != nullptr) {
        settings.operations->Attach(*core);
    }

    std::unique_ptr<CTerminalView> view;
    if (settings.redrawInPlace) {
        view = std::make_unique<CTerminalView>(settings.out);
        view->Enter();
    }

    auto params = std::make_unique<DispatchParams>();
    params->core = core.get();
    params->refresh = [&refresh] { refresh.Poke(); };
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
            DrawFrame(*core, *view, configNotes);  // also each second, for the clock line
        } else if (fds[1].revents != 0) {
            PrintTable(*core, settings.out);
        }
    }

    // The Exit sequence: the core outlives the thread, and the refresh pipe
    // outlives both (the thread pokes it until it ends). The normal screen comes
    // back first, so that what the Exit sequence reports is seen. The statistics
    // file is written here, as the core's destructor would, so that its outcome
    // can become the exit status and the report's line.
    core->PostQuit();
    dispatch.join();
    if (view) {
        view->Leave();
    }
    const bool statisticsWritten = core->WriteStatistics();
    const std::string outcome = DescribeStatistics(*core);
    core.reset();
    if (settings.report != nullptr) {
        std::fprintf(settings.report, "OrvaneSystemDx: %s\n", outcome.c_str());
        std::fflush(settings.report);
    }
    return statisticsWritten ? 0 : 1;
}
