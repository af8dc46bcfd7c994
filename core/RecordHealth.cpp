// The troubles of the run journal and the session history, kept under a lock with a generation that
// counts each change.
#include "core/RecordHealth.h"

#include <algorithm>

const char* RecordName(StationRecord record) {
    return record == StationRecord::Journal ? "journal" : "history";
}

void CRecordHealth::Failing(StationRecord record, int64_t now, const std::string& why) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (RecordTrouble& trouble : m_troubles) {
        if (trouble.record == record) {
            if (trouble.why != why) {
                trouble.why = why;
                m_generation.fetch_add(1, std::memory_order_release);
            }
            return;
        }
    }
    m_troubles.push_back(RecordTrouble{record, now, why});
    std::sort(m_troubles.begin(), m_troubles.end(),
              [](const RecordTrouble& a, const RecordTrouble& b) { return a.record < b.record; });
    m_generation.fetch_add(1, std::memory_order_release);
}

void CRecordHealth::Resumed(StationRecord record) {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto gone =
        std::remove_if(m_troubles.begin(), m_troubles.end(),
                       [record](const RecordTrouble& t) { return t.record == record; });
    if (gone != m_troubles.end()) {
        m_troubles.erase(gone, m_troubles.end());
        m_generation.fetch_add(1, std::memory_order_release);
    }
}

std::vector<RecordTrouble> CRecordHealth::Troubles() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_troubles;
}
