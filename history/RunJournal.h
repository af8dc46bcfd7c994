// The run journal: what the statistics file of a run needs, on disk as it
// happens, so that a run that never reaches Exit (a crash, a kill, a power
// cut) still gets its statistics file at the next start.
//
// One file per run in the data folder, OrvaneSystemDx.<start>.journal, made
// new and exclusively (never over another run's journal, never through a
// link). One text line per entry, appended and made durable (fdatasync) by the
// observer's own thread in batches:
//
//   orvane-journal 1
//   run 1700000000 30 4                      start time, ALS period, log interval
//   card 1 0 2 4711 host-a                   number, mode, device, serial, address
//   sample 1700000004 1000000000 4           time, a busy flag per card slot,
//                                            seconds into the run by the steady clock
//   busy 1700000020 1 16 20                  time, card, its busy seconds now, seconds in
//   end 1700000100 /data/Stat2023_...txt     the statistics file was written
//
// A clean Exit writes the statistics file and then removes the journal; a
// journal found at start belongs to a run that did not end (the data folder's
// lock tells that no live station writes it). Reading it back salvages what it
// holds: a line that cannot be read (a torn last line, a damaged byte, a stray
// CR is passed over) costs that line only.
//
// A journal that cannot be written (a full disk, a file size limit, a folder
// that cannot be reached) keeps its lines in memory and is tried again every
// `retryPaceMs`; it resumes with everything it missed.
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

#include "core/RecordHealth.h"
#include "core/StationObserver.h"

// The journal of an older station, and what it kept aside; still recovered.
constexpr const char* JOURNAL_FILE_NAME = "OrvaneSystemDx.journal";
// The end of the name a journal that holds nothing readable is set aside under.
constexpr const char* SET_ASIDE_SUFFIX = ".unreadable";

// "OrvaneSystemDx.1700000000.journal", "OrvaneSystemDx.1700000000-2.journal".
std::string JournalFileName(int64_t startTime, int copy);
// Whether `name` is a journal's, of this station or an older one.
bool IsJournalName(const std::string& name);

class CRunJournal final : public CStationObserver, public CSampleArchive {
public:
    // Told on the journal's thread when it fails (once until it resumes).
    using FailureReport = std::function<void(const std::string& text)>;

    struct Options {
        int64_t retryPaceMs = 30000;  // between attempts after a failure
    };

    // The journal of the run started at `startTime` in `dataDir`. `health`, when
    // given, is told when it fails and when it resumes.
    CRunJournal(std::string dataDir, int64_t startTime, FailureReport report,
                CRecordHealth* health = nullptr);
    CRunJournal(std::string dataDir, int64_t startTime, FailureReport report, CRecordHealth* health,
                Options options);
    ~CRunJournal() override;

    CRunJournal(const CRunJournal&) = delete;
    CRunJournal& operator=(const CRunJournal&) = delete;

    // Creates the run's file, a new one. False (and the failure reported and
    // kept for the retries) when it cannot; the journal works all the same.
    bool Open();
    // The file's path; before it could be created, the one it would take.
    std::string Path() const;

    // The journal's thread (behind a CAsyncObserver).
    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void Flush() override;

    uint64_t DurableSamples() const override { return m_durableSamples.load(); }
    bool ReadSamples(uint64_t count, const std::function<void(const StatSample&)>& each) override;

private:
    void Append(const std::string& line);
    bool TryOpen();
    bool WritePending();
    void Fail(const std::string& why);
    int64_t Elapsed(int64_t steadyMs) const;

    const std::string m_dataDir;
    const int64_t m_startTime;
    const FailureReport m_report;
    CRecordHealth* const m_health;
    const Options m_options;
    mutable std::mutex m_pathLock;  // m_path: ReadSamples may run on another thread
    std::string m_path;
    int m_fd = -1;
    std::string m_pending;    // not yet durable, from a line's start
    uint64_t m_goodSize = 0;  // the file's bytes that are whole lines on disk
    uint64_t m_writtenSamples = 0;
    int64_t m_startSteadyMs = 0;
    int64_t m_failedAtMs = -1;  // steady ms of the last failed attempt; -1: none
    bool m_failing = false;
    bool m_ended = false;
    std::atomic<uint64_t> m_durableSamples{0};
};

// A journal read back.
struct JournalContents {
    bool readable = false;         // a regular file that could be read
    bool header = false;           // it begins with the journal's header
    bool hasRun = false;           // its run line was read
    bool ended = false;            // the run wrote its statistics file
    std::string endPath;           // the file it wrote
    int64_t startTime = 0;         // the run line's, else the earliest entry's
    int64_t lastTime = 0;          // of the last entry that carries a time
    int64_t lastElapsed = -1;      // seconds into the run of the last entry; -1: none told
    std::vector<CardState> cards;  // by number; a card whose line was lost has mode -1
    uint64_t samples = 0;
    uint64_t damaged = 0;  // lines passed over
    uint64_t bytes = 0;
};

// Reads a journal; `each`, when given, receives every sample in order.
JournalContents ReadJournal(const std::string& path,
                            const std::function<void(const StatSample&)>& each = {});

enum class RecoveryResult {
    Removed,    // a journal of a run that ended, or one with nothing in it: removed
    Recovered,  // its statistics file was written, the journal removed
    Failed,     // the statistics file could not be written; the journal stays for the next start
    SetAside,   // nothing could be read from it (or it is no regular file): renamed, kept
};

struct RecoveryOutcome {
    RecoveryResult result = RecoveryResult::Removed;
    std::string journal;  // the journal's path
    std::string message;  // what the user is told, when anything
    std::string path;     // the statistics file
};

// Turns every journal left in `dataDir` by a run that did not end into that
// run's statistics file, stamped with its last entry's time into the run.
// Never replaces an existing file, never removes a journal whose run has no
// statistics file. Call it while holding the data folder's lock, before the
// run's own journal is made. One outcome per journal found, oldest run first.
std::vector<RecoveryOutcome> RecoverJournals(const std::string& dataDir);
