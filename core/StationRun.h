// One run of the station, from the core's construction to the end of its
// records, in the one order that is safe: a front end builds it from the
// configuration, adds its observers and extension, starts it, reads the core
// and the latest snapshot while it runs, and ends it with Stop, then
// WriteStatistics, then End (the destructor does what is left).
//
//   constructor   the core is built; nothing runs yet
//   Start         the extension attaches (journal, history, services), the
//                 observers are registered, the dispatch thread starts
//   Stop          the stop record; the dispatch thread has ended
//   WriteStatistics  the statistics file (also done by End when not asked for)
//   End           the core is gone (cards disconnected, observers told), then
//                 the extension finishes (what is queued delivered, lock freed)
//
// Nothing else starts a dispatch thread or destroys a core.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "cardlink/Clock.h"
#include "config/Notifier.h"
#include "core/Dispatcher.h"
#include "core/LatestSnapshot.h"
#include "core/Monitor.h"
#include "core/StationConfig.h"

// What a run carries beyond its observers: attached to the core before the
// dispatch thread starts, finished once the core is gone.
class CRunExtension {
public:
    virtual ~CRunExtension() = default;
    virtual void Attach(COrvane& core) = 0;
    virtual void Finish() = 0;
};

class CStationRun {
public:
    struct Options {
        const CClock* clock = &SystemClock();
        // The statistics file's problems; empty, they go where ShowMessage sends them.
        MessageHandler messages;
        // Called on the dispatch thread, at most once per pass, when the
        // table may have changed; must not block for long.
        RefreshRequest refresh;
        // Not owned; see DispatchHooks.
        std::atomic<uint64_t>* messagesHandled = nullptr;
    };

    explicit CStationRun(StationConfig config, Options options);
    explicit CStationRun(StationConfig config) : CStationRun(std::move(config), Options()) {}
    // Stop, WriteStatistics and End, those not done yet.
    ~CStationRun();

    CStationRun(const CStationRun&) = delete;
    CStationRun& operator=(const CStationRun&) = delete;

    // Before Start; not owned. The extension must outlive End; an observer
    // must outlive the core (End).
    void Extend(CRunExtension* extension) { m_extension = extension; }
    void AddObserver(CStationObserver* observer);

    void Start();

    // Until End. The front end reads; the dispatch thread changes.
    const COrvane& Core() const { return *m_core; }
    bool HasCore() const { return m_core != nullptr; }
    // The latest snapshot of the station; null before the thread has begun.
    std::shared_ptr<const StationSnapshot> Latest() const { return m_latest.Latest(); }

    // The stop record, and the dispatch thread waited for. Once; later calls do nothing.
    void Stop();
    // After Stop: the statistics file, as COrvane::WriteStatistics.
    bool WriteStatistics();
    // After Stop: the core destroyed, then the extension finished. Once.
    void End();

private:
    std::unique_ptr<COrvane> m_core;
    Options m_options;
    CRunExtension* m_extension = nullptr;
    std::vector<CStationObserver*> m_observers;
    CLatestSnapshot m_latest;
    std::thread m_thread;
    bool m_started = false;
    bool m_ended = false;
};
