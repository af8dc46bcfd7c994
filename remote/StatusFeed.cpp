// The HTTP threads' view of the station, around the one snapshot holder.
#include "remote/StatusFeed.h"

void CStatusFeed::OnRunStarted(const StationInfo& info) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_dataDir = info.dataDir;
}

void CStatusFeed::OnPass(const StationPass& pass) {
    m_latest.Publish(pass.snapshot);
}

void CStatusFeed::OnRunStopped() {
    Close();
}

void CStatusFeed::NotePass(uint64_t passes, int64_t wallMs) {
    m_passes.store(passes, std::memory_order_relaxed);
    m_lastPassWallMs.store(wallMs, std::memory_order_relaxed);
}

std::shared_ptr<const StationSnapshot> CStatusFeed::Latest() const {
    return m_latest.Latest();
}

std::string CStatusFeed::DataDir() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dataDir;
}

CStatusFeed::Wait CStatusFeed::WaitForChange(uint64_t sequence,
                                             std::chrono::milliseconds timeout) const {
    return m_latest.WaitForChange(sequence, timeout);
}

void CStatusFeed::Close() {
    m_latest.Close();
}
