// The latest snapshot of the station, for a view that reads it whenever it
// likes: the dispatch thread swaps the pointer after each pass that changed
// something, a reader copies the pointer and reads at leisure. Neither waits
// for the other beyond the pointer's own swap.
#pragma once

#include <atomic>
#include <memory>

#include "core/StationObserver.h"

class CLatestSnapshot final : public CStationObserver {
public:
    void OnEvent(const StationEvent& /*event*/) override {}
    void OnPass(const StationPass& pass) override {
        if (pass.snapshot != m_latest.load(std::memory_order_relaxed)) {
            m_latest.store(pass.snapshot, std::memory_order_release);
        }
    }
    // Any thread; null before the first pass.
    std::shared_ptr<const StationSnapshot> Latest() const {
        return m_latest.load(std::memory_order_acquire);
    }

private:
    std::atomic<std::shared_ptr<const StationSnapshot>> m_latest;
};
