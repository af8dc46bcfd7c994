// What the HTTP threads read of the station: the latest snapshot, held by the
// station's one snapshot holder (core/LatestSnapshot.h) with its wake-up for
// those that wait for the next one (the live page's event stream), and the
// pass count and time the dispatch thread stores.
//
//   dispatch thread ──NotePass──────────────────────> pass count, time (atomics)
//                   ──CAsyncObserver──> its worker ──OnPass──> snapshot pointer swapped,
//                                                              waiters woken (the holder's lock)
//   HTTP threads    ──Latest (copy the pointer under that lock), WaitForChange
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

#include "core/LatestSnapshot.h"
#include "core/StationObserver.h"

class CStatusFeed final : public CStationObserver {
public:
    using Wait = CLatestSnapshot::Wait;

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

    CLatestSnapshot m_latest;
    mutable std::mutex m_lock;  // for m_dataDir
    std::string m_dataDir;
};
