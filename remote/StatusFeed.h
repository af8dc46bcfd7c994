// What the HTTP threads read of the station: the latest snapshot, published
// by swapping a shared pointer, and a wake-up for those that wait for the next
// one (the live page's event stream).
//
//   dispatch thread ──NotePass──────────────────────> pass count, time (atomics)
//                   ──CAsyncObserver──> its worker ──OnPass──> snapshot pointer swapped,
//                                                              waiters woken (our lock)
//   HTTP threads    ──Latest (copy the pointer under our lock), WaitForChange
//
// The dispatch thread never takes the lock the HTTP threads use: it only
// stores atomics and hands the pass to the asynchronous observer's queue.
// The lock is held for a pointer copy or swap, never while JSON is written.
// OnRunStarted, OnPass and OnRunStopped come from that observer's worker.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/StationObserver.h"

class CStatusFeed final : public CStationObserver {
public:
    enum class Wait {
        Changed,   // a newer snapshot is published
        TimedOut,  // nothing new within the time
        Ended,     // the run stopped or the server is closing
    };

    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& /*event*/) override {}
    void OnPass(const StationPass& pass) override;
    void OnRunStopped() override;

    // Dispatch thread: a pass ended (cheap, lock-free).
    void NotePass(uint64_t passes, int64_t wallMs);

    // Any thread. Null until the first snapshot is published.
    std::shared_ptr<const StationSnapshot> Latest() const;
    uint64_t Passes() const { return m_passes.load(std::memory_order_relaxed); }
    int64_t LastPassWallMs() const { return m_lastPassWallMs.load(std::memory_order_relaxed); }
    // The run's data folder; empty before the run starts.
    std::string DataDir() const;

    // Waits until a snapshot later than `sequence` is published, the run
    // stops, Close is called or `timeout` passes.
    Wait WaitForChange(uint64_t sequence, std::chrono::milliseconds timeout) const;
    // Ends every wait, now and later: the server is stopping.
    void Close();

private:
    std::atomic<uint64_t> m_passes{0};
    std::atomic<int64_t> m_lastPassWallMs{0};

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::shared_ptr<const StationSnapshot> m_snapshot;
    uint64_t m_sequence = 0;  // of the published snapshot
    bool m_ended = false;
    std::string m_dataDir;
};
