#include "app/ConsoleStation.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/DispatchThread.h"
#include "app/Operations.h"
#include "app/StatusTable.h"
#include "core/Monitor.h"

namespace {

// ESC [ n A moves the cursor n lines up; ESC [ J clears from there to the end.
std::string CursorUpAndClear(size_t lines) {
    return "\x1b[" + std::to_string(lines) + "A\x1b[J";
}

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

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

void PrintTable(const COrvane& core, const ConsoleStationSettings& settings, size_t& linesShown) {
    std::vector<CardState> rows;
    core.GetCardRows(rows);
    const std::string table =
        RenderStatusTable(rows, core.GetWatchList(), core.GetAlsPeriod(), core.GetLogInterval());
    std::string text;
    if (settings.redrawInPlace && linesShown > 0) {
        text = CursorUpAndClear(linesShown);
    }
    text += table;
    // A closed standard output must not stop the station: the write is not checked.
    std::fwrite(text.data(), 1, text.size(), settings.out);
    std::fflush(settings.out);
    linesShown = CountLines(table);
}

}  // namespace

int RunConsoleStation(const ConsoleStationSettings& settings) {
    CWakePipe refresh;
    if (!refresh.Valid()) {
        std::fprintf(stderr, "OrvaneSystemDx: cannot create a pipe\n");
        return 1;
    }

    auto core = std::make_unique<COrvane>(settings.logInterval, settings.alsPeriod);
    if (settings.operations != nullptr) {
        settings.operations->Attach(*core);
    }

    auto params = std::make_unique<DispatchParams>();
    params->core = core.get();
    params->refresh = [&refresh] { refresh.Poke(); };
    std::thread dispatch(DispatchThread, std::move(params));

    size_t linesShown = 0;
    std::array<pollfd, 2> fds{};
    fds[0].fd = settings.stopFd;
    fds[0].events = POLLIN;
    fds[1].fd = refresh.ReadFd();
    fds[1].events = POLLIN;
    for (;;) {
        fds[0].revents = fds[1].revents = 0;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // cannot wait any more: stop in order rather than spin
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            refresh.Take();
            PrintTable(*core, settings, linesShown);
        }
    }

    // The Exit sequence: the core outlives the thread, and the refresh pipe
    // outlives both (the thread pokes it until it ends). The statistics file is
    // written here, as the core's destructor would, so that its outcome can
    // become the exit status.
    core->PostQuit();
    dispatch.join();
    const bool statisticsWritten = core->WriteStatistics();
    core.reset();
    return statisticsWritten ? 0 : 1;
}
