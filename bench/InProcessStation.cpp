// The station's run inside the measuring process, and the session latency: from a session start
// sent to the first refresh whose row shows it.
#include "bench/InProcessStation.h"

#include <utility>

#include "core/StationRun.h"
#include "resources/OrvaneTypes.h"

CInProcessStation::CInProcessStation() = default;

CInProcessStation::~CInProcessStation() {
    Stop();
}

void CInProcessStation::Start(CStationObserver* observer) {
    CStationRun::Options options;
    options.refresh = [this] { OnRefresh(); };
    options.messagesHandled = &m_handled;
    m_run = std::make_unique<CStationRun>(ReadStationConfig(0, 0), std::move(options));
    for (CStationObserver* added : m_observers) {
        m_run->AddObserver(added);
    }
    m_run->AddObserver(observer);
    m_run->Start();
}

void CInProcessStation::Stop() {
    if (!m_run) {
        return;
    }
    m_run->Stop();
    m_run->End();
    std::lock_guard lock(m_observerLock);
    m_run.reset();
}

std::vector<CardState> CInProcessStation::Rows() const {
    std::vector<CardState> rows;
    if (m_run) {
        m_run->Core().GetCardRows(rows);
    }
    return rows;
}

int32_t CInProcessStation::QueueUnread() const {
    return m_run ? m_run->Core().QueuedBytes() : -1;
}

bool CInProcessStation::WaitAllRunning(int32_t cards, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::vector<CardState> rows = Rows();
        int32_t running = 0;
        for (const CardState& row : rows) {
            running += row.status >= STATUS_MODE_RUNNING ? 1 : 0;
        }
        if (running >= cards) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void CInProcessStation::SetRefreshObserver(RefreshObserver observer) {
    std::lock_guard lock(m_observerLock);
    m_observer = std::move(observer);
}

void CInProcessStation::OnRefresh() {
    std::lock_guard lock(m_observerLock);
    if (m_observer && m_run) {
        std::vector<CardState> rows;
        m_run->Core().GetCardRows(rows);
        m_observer(rows);
    }
}

CSessionLatency::CSessionLatency(CInProcessStation& station) : m_station(station) {
    m_station.SetRefreshObserver([this](const std::vector<CardState>& rows) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard guard(m_lock);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            const CardState& row = rows.at(static_cast<size_t>(it->card - 1));
            if (row.status == STATUS_BUSY_SESSION && row.mesId == it->mesId) {
                m_ms.push_back(std::chrono::duration<double, std::milli>(now - it->sent).count());
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
    });
}

CSessionLatency::~CSessionLatency() {
    m_station.SetRefreshObserver(nullptr);
}

void CSessionLatency::Sent(int32_t card, int32_t mesId) {
    std::lock_guard guard(m_lock);
    m_pending.push_back({card, mesId, std::chrono::steady_clock::now()});
}

std::vector<double> CSessionLatency::Finish(size_t& missed) {
    m_station.SetRefreshObserver(nullptr);
    std::lock_guard guard(m_lock);
    missed = m_pending.size();
    return std::move(m_ms);
}
