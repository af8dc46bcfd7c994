// The station's run (core and dispatch thread) inside the measuring process,
// with the real card library: exactly what the program runs, minus its view.
// The configuration comes from ORVANESYSTEM_CONFIG_DIR as in the program.
//
// Threads: Start, Stop, Handled and Rows on the measuring thread; the refresh
// observer is called on the dispatch thread, as a view's refresh request is.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cardlink/CardState.h"

class CStationObserver;
class CStationRun;

class CInProcessStation {
public:
    // Receives a fresh copy of every row at each refresh request.
    using RefreshObserver = std::function<void(const std::vector<CardState>& rows)>;

    CInProcessStation();
    // Stops the station if it still runs.
    ~CInProcessStation();

    CInProcessStation(const CInProcessStation&) = delete;
    CInProcessStation& operator=(const CInProcessStation&) = delete;

    // Creates the core and starts the dispatch thread; the first Tick connects.
    // An `observer` (not owned) is registered before the thread starts.
    void Start(CStationObserver* observer = nullptr);
    // The Exit sequence: stop record, end of the dispatch thread, core deleted.
    void Stop();

    // Card messages whose handling by the dispatch thread has ended.
    uint64_t Handled() const { return m_handled.load(std::memory_order_acquire); }
    std::vector<CardState> Rows() const;
    // Unread bytes in the core's event queue; -1 while the station is stopped.
    int32_t QueueUnread() const;
    // True once every one of `cards` rows shows Mode Running or Busy Session.
    bool WaitAllRunning(int32_t cards, std::chrono::milliseconds timeout) const;
    void SetRefreshObserver(RefreshObserver observer);
    // Registered with the core at Start; not owned, must outlive the run.
    void AddObserver(CStationObserver* observer) { m_observers.push_back(observer); }

private:
    void OnRefresh();

    std::unique_ptr<CStationRun> m_run;
    std::atomic<uint64_t> m_handled{0};
    std::mutex m_observerLock;
    RefreshObserver m_observer;
    std::vector<CStationObserver*> m_observers;
};

// Session latency as the benchmarks read it: from a host's sending of a
// session start to the core showing the card Busy Session with that MES ID,
// seen at the station's refresh requests. Watches `station` from construction
// to Finish.
class CSessionLatency {
public:
    explicit CSessionLatency(CInProcessStation& station);
    ~CSessionLatency();

    CSessionLatency(const CSessionLatency&) = delete;
    CSessionLatency& operator=(const CSessionLatency&) = delete;

    // Call just before the host is asked to start the session.
    void Sent(int32_t card, int32_t mesId);
    // Stops watching; the latencies seen (ms) and how many starts were never seen.
    std::vector<double> Finish(size_t& missed);

private:
    struct Pending {
        int32_t card;
        int32_t mesId;
        std::chrono::steady_clock::time_point sent;
    };

    CInProcessStation& m_station;
    std::mutex m_lock;
    std::vector<Pending> m_pending;
    std::vector<double> m_ms;
};
