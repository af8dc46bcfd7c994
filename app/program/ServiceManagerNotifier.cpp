// The service manager's notifications through sd_notify: READY and STATUS on the passes that change
// them, WATCHDOG at a quarter of the manager's interval, STOPPING at the end.
#include "app/program/ServiceManagerNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "app/view/StatusNotes.h"

namespace {

// A quarter of the interval: a late pass or a busy machine still leaves three
// chances before the manager gives up on the station.
constexpr uint64_t WATCHDOG_FRACTION = 4;

}  // namespace

std::unique_ptr<CServiceManagerNotifier> CServiceManagerNotifier::FromEnvironment() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') {
        return nullptr;
    }
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) {
        usec = 0;
    }
    return std::make_unique<CServiceManagerNotifier>(usec);
}

CServiceManagerNotifier::CServiceManagerNotifier(uint64_t watchdogUsec)
    : m_watchdogEveryMs(static_cast<int64_t>(watchdogUsec / 1000 / WATCHDOG_FRACTION)) {}

void CServiceManagerNotifier::Send(const std::string& state) {
    // A manager that went away is no reason to stop the station.
    [[maybe_unused]] const int ignored = sd_notify(0, state.c_str());
}

void CServiceManagerNotifier::OnPass(const StationPass& pass) {
    std::string state;
    if (pass.snapshot && (!m_ready || pass.snapshot->sequence != m_sequence)) {
        m_sequence = pass.snapshot->sequence;
        std::string status = StationStatusText(*pass.snapshot);
        if (!m_ready || status != m_status) {
            m_status = std::move(status);
            state = "STATUS=" + m_status + "\n";
        }
    }
    if (!m_ready) {
        m_ready = true;
        state = "READY=1\n" + state;
    }
    if (m_watchdogEveryMs > 0 &&
        (m_lastWatchdogMs < 0 || pass.steadyMs - m_lastWatchdogMs >= m_watchdogEveryMs)) {
        m_lastWatchdogMs = pass.steadyMs;
        state += "WATCHDOG=1\n";
    }
    if (!state.empty()) {
        Send(state);
    }
}

void CServiceManagerNotifier::Stopping() {
    Send("STOPPING=1\nSTATUS=stopping: statistics file, cards disconnected\n");
}
