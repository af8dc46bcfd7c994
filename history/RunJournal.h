// The run journal: what the statistics file of a run needs, on disk as it
// happens, so that a run that never reaches Exit (a crash, a kill, a power
// cut) still gets its statistics file at the next start.
//
// One text line per entry, appended and made durable (fdatasync) by the
// observer's own thread in batches:
//
//   orvane-journal 1
//   run 1700000000 30 4                      start time, ALS period, log interval
//   card 1 0 2 4711 host-a                   number, mode, device, serial, address
//   sample 1700000004 1000000000             time, a busy flag per card slot
//   busy 1700000020 1 16                     time, card, its busy seconds now
//   end 1700000100 /data/Stat2023_...txt     the statistics file was written
//
// A clean Exit writes the statistics file and then removes the journal; a
// journal found at start belongs to a run that did not end (the data folder's
// lock tells that no live station writes it). A last line without its line
// end was torn by the crash and is ignored.
//
// As the core's sample archive it tells how many samples are durable, so the
// core can forget them, and streams them back for the statistics file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/StationObserver.h"

constexpr const char* JOURNAL_FILE_NAME = "OrvaneSystemDx.journal";

class CRunJournal final : public CStationObserver, public CSampleArchive {
public:
    // Told once, on the journal's thread, when an entry cannot be written.
    using FailureReport = std::function<void(const std::string& text)>;

    CRunJournal(std::string path, FailureReport report);
    ~CRunJournal() override;

    CRunJournal(const CRunJournal&) = delete;
    CRunJournal& operator=(const CRunJournal&) = delete;

    // Creates the file (replacing one of the same name). False when it cannot.
    bool Open();
    const std::string& Path() const { return m_path; }

    // The journal's thread (behind a CAsyncObserver).
    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void Flush() override;

    uint64_t DurableSamples() const override { return m_durableSamples.load(); }
    bool ReadSamples(uint64_t count, const std::function<void(const StatSample&)>& each) override;

private:
    void Append(const std::string& line);
    void Fail();

    const std::string m_path;
    const FailureReport m_report;
    int m_fd = -1;
    std::string m_pending;  // written, not yet flushed to disk
    uint64_t m_writtenSamples = 0;
    bool m_failed = false;
    bool m_ended = false;
    std::atomic<uint64_t> m_durableSamples{0};
};

// A journal read back.
struct JournalContents {
    bool valid = false;  // it begins with the journal's header and its run line
    bool ended = false;  // the run wrote its statistics file
    int64_t startTime = 0;
    int64_t lastTime = 0;  // of the last entry that carries a time
    std::vector<CardState> cards;
    uint64_t samples = 0;
};

// Reads a journal; `each`, when given, receives every sample in order.
JournalContents ReadJournal(const std::string& path,
                            const std::function<void(const StatSample&)>& each = {});

enum class RecoveryResult {
    NoJournal,  // nothing to do
    Removed,    // a journal of a run that ended, or without samples: removed
    Recovered,  // its statistics file was written, the journal removed
    Failed,     // the statistics file could not be written; the journal stays
};

struct RecoveryOutcome {
    RecoveryResult result = RecoveryResult::NoJournal;
    std::string message;  // what the user is told, when anything
    std::string path;     // the statistics file
};

// Turns a journal left in `dataDir` by a run that did not end into that
// run's statistics file, stamped with the last entry's time. Never replaces
// an existing file. Call it while holding the data folder's lock.
RecoveryOutcome RecoverJournal(const std::string& dataDir);
