// Whether what the station keeps on disk beyond its window, the run journal
// and the session history, is being kept: set by their writers on their own
// threads, read by the core after every pass, which puts it in its snapshot
// (for the status lines, the page and the metrics) and tells its observers of
// each change (for the event lines).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class StationRecord : int32_t { Journal, History };

struct RecordTrouble {
    StationRecord record = StationRecord::Journal;
    int64_t since = 0;  // wall-clock seconds since 1970: the first failure
    std::string why;    // the message the user was shown
};

// "journal", "history"
const char* RecordName(StationRecord record);

class CRecordHealth {
public:
    // The record fails: `since` is kept from the first failure on.
    void Failing(StationRecord record, int64_t now, const std::string& why);
    // It is kept again.
    void Resumed(StationRecord record);

    // Grows with every change; any thread.
    uint64_t Generation() const { return m_generation.load(std::memory_order_acquire); }
    // The records failing now, in StationRecord order.
    std::vector<RecordTrouble> Troubles() const;

private:
    mutable std::mutex m_lock;
    std::vector<RecordTrouble> m_troubles;
    std::atomic<uint64_t> m_generation{0};
};
