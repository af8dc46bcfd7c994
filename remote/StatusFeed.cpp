#include "remote/StatusFeed.h"

void CStatusFeed::OnRunStarted(const StationInfo& info) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_dataDir = info.dataDir;
}

void CStatusFeed::OnPass(const StationPass& pass) {
    if (!pass.snapshot) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (pass.snapshot->sequence <= m_sequence) {
            return;
        }
        m_sequence = pass.snapshot->sequence;
        m_snapshot = pass.snapshot;
    }
    m_changed.notify_all();
}

void CStatusFeed::OnRunStopped() {
    Close();
}

void CStatusFeed::NotePass(uint64_t passes, int64_t wallMs) {
    m_passes.store(passes, std::memory_order_relaxed);
    m_lastPassWallMs.store(wallMs, std::memory_order_relaxed);
}

std::shared_ptr<const StationSnapshot> CStatusFeed::Latest() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_snapshot;
}

std::string CStatusFeed::DataDir() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dataDir;
}

CStatusFeed::Wait CStatusFeed::WaitForChange(uint64_t sequence,
                                             std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    const bool woken =
        m_changed.wait_for(guard, timeout, [&] { return m_ended || m_sequence > sequence; });
    if (m_ended) {
        return Wait::Ended;
    }
    return woken ? Wait::Changed : Wait::TimedOut;
}

void CStatusFeed::Close() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ended = true;
    }
    m_changed.notify_all();
}
