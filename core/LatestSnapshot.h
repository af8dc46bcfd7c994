// The latest snapshot of the station, for a view that reads it whenever it
// likes: the dispatch thread swaps the pointer after each pass that changed
// something, a reader copies the pointer and reads at leisure. The lock is
// held for a pointer's copy and nothing else.
#pragma once

#include <memory>
#include <mutex>

#include "core/StationObserver.h"

class CLatestSnapshot final : public CStationObserver {
public:
    void OnEvent(const StationEvent& /*event*/) override {}
    void OnPass(const StationPass& pass) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_latest != pass.snapshot) {
            m_latest = pass.snapshot;
        }
    }
    // Any thread; null before the first pass.
    std::shared_ptr<const StationSnapshot> Latest() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_latest;
    }

private:
    mutable std::mutex m_lock;
    std::shared_ptr<const StationSnapshot> m_latest;
};
