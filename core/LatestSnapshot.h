// The latest snapshot of the station, for whoever reads it whenever they like
// (a window, a terminal, the HTTP threads): the dispatch thread, or an
// observer's worker, publishes a new one by swapping a shared pointer; a
// reader copies the pointer and reads at leisure, or waits for the next one.
// The lock is held for a pointer's copy or swap and nothing else.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/StationObserver.h"

class CLatestSnapshot final : public CStationObserver {
public:
    enum class Wait {
        Changed,   // a newer snapshot is published
        TimedOut,  // nothing new within the time
        Ended,     // the run stopped or the holder was closed
    };

    void OnEvent(const StationEvent& /*event*/) override {}
    void OnPass(const StationPass& pass) override { Publish(pass.snapshot); }
    void OnRunStopped() override { Close(); }

    // A newer snapshot than the one held replaces it and wakes the waiters.
    void Publish(const std::shared_ptr<const StationSnapshot>& snapshot) {
        if (!snapshot) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_latest && m_latest->sequence >= snapshot->sequence) {
                return;
            }
            m_latest = snapshot;
        }
        m_changed.notify_all();
    }

    // Any thread; null before the first snapshot.
    std::shared_ptr<const StationSnapshot> Latest() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_latest;
    }

    // Waits until a snapshot later than `sequence` is published, the run
    // stops, Close is called or `timeout` passes.
    Wait WaitForChange(uint64_t sequence, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> guard(m_lock);
        const bool woken = m_changed.wait_for(
            guard, timeout, [&] { return m_ended || (m_latest && m_latest->sequence > sequence); });
        if (m_ended) {
            return Wait::Ended;
        }
        return woken ? Wait::Changed : Wait::TimedOut;
    }

    // Ends every wait, now and later.
    void Close() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_ended = true;
        }
        m_changed.notify_all();
    }

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::shared_ptr<const StationSnapshot> m_latest;
    bool m_ended = false;
};
