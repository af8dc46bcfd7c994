// The stop signals' handler, installed for the object's life: it only pokes the wake-up pipe, and
// the previous handlers come back at the end.
#include "app/program/StopSignals.h"

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
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        CWakePipe::PokeFd(fd);
    }
}

}  // namespace

CStopSignals::CStopSignals() {
    if (!m_wake.Valid()) {
        return;
    }
    g_signalWriteFd.store(m_wake.WriteFd());

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
}

bool CStopSignals::TakeSignals() {
    return m_wake.Take();
}
