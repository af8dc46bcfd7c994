// The station under a service manager that supervises it (systemd's
// Type=notify): it says when it is ready, keeps a status line current, and
// proves that the dispatch thread is alive.
//
//   first pass        READY=1 and STATUS=   (configuration read, first Tick run)
//   snapshot changed  STATUS=8 of 10 cards up, 3 busy, 1,234 samples
//   every pass        WATCHDOG=1, at most every quarter of the watchdog interval
//   stop asked for    STOPPING=1
//
// The watchdog goes out from the dispatch thread itself (OnPass), so a thread
// that stalls stops it and the manager restarts the service. Messages are
// datagrams to the manager's socket (libsystemd's sd_notify): nothing waits
// for an answer.
//
// Threads: OnPass on the dispatch thread; Stopping on the thread that runs
// the Exit sequence.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/StationObserver.h"

class CServiceManagerNotifier final : public CStationObserver {
public:
    // A notifier when the process was started with a notification socket
    // (NOTIFY_SOCKET), else null: without a manager nothing is sent.
    static std::unique_ptr<CServiceManagerNotifier> FromEnvironment();

    // `watchdogUsec` 0: no watchdog messages.
    explicit CServiceManagerNotifier(uint64_t watchdogUsec);

    void OnEvent(const StationEvent& /*event*/) override {}
    void OnPass(const StationPass& pass) override;
    // The Exit sequence has begun.
    void Stopping();

private:
    void Send(const std::string& state);

    const int64_t m_watchdogEveryMs;  // 0: none
    bool m_ready = false;
    uint64_t m_sequence = 0;  // of the snapshot whose status was sent
    std::string m_status;
    int64_t m_lastWatchdogMs = -1;  // none sent yet
};
