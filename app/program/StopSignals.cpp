#include "app/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

// SIGHUP too: a closed terminal or a logout must not lose the statistics.
constexpr std::array<int, 3> STOP_SIGNALS = {SIGINT, SIGTERM, SIGHUP};

// The write end of the live object's pipe; -1 when there is none. The handler
// reads it, so it must be a lock-free atomic.
std::atomic<int> g_signalWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);
std::array<struct sigaction, STOP_SIGNALS.size()> g_previous{};

extern "C" void OnStopSignal(int) {
    const int savedErrno = errno;
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending stop; the byte is not needed.
        [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

CStopSignals::CStopSignals() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
    g_signalWriteFd.store(m_writeFd);

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < STOP_SIGNALS.size(); ++i) {
        if (sigaction(STOP_SIGNALS[i], &action, &g_previous[i]) != 0) {
            for (size_t j = 0; j < i; ++j) {
                sigaction(STOP_SIGNALS[j], &g_previous[j], nullptr);
            }
            g_signalWriteFd.store(-1);
            close(m_readFd);
            close(m_writeFd);
            m_readFd = m_writeFd = -1;
            return;
        }
    }
    m_installed = true;
}

CStopSignals::~CStopSignals() {
    if (m_installed) {
        for (size_t i = 0; i < STOP_SIGNALS.size(); ++i) {
            sigaction(STOP_SIGNALS[i], &g_previous[i], nullptr);
        }
    }
    g_signalWriteFd.store(-1);
    if (m_readFd >= 0) {
        close(m_readFd);
        close(m_writeFd);
    }
}

bool CStopSignals::TakeSignals() {
    if (m_readFd < 0) {
        return false;
    }
    bool any = false;
    std::array<char, 64> buffer;
    for (;;) {
        const ssize_t n = read(m_readFd, buffer.data(), buffer.size());
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return any;
    }
}
