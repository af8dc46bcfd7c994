// The one seam out of the core: what the station tells the world beyond its
// own window, for the run journal, the session history, the event lines, the
// HTTP status, the metrics and the broker.
//
//   dispatch thread ──OnRunStarted──> observer ──> its own queue or snapshot
//                   ──OnEvent───────>          ──> (files, databases, sockets
//                   ──OnPass────────>               on the observer's thread)
//   Exit            ──OnEvent (statistics file), OnRunStopped
//
// Observers are registered with the core before the dispatch thread starts
// and stay registered until the core is gone. They are called on the dispatch
// thread, one call at a time; the statistics file's events and OnRunStopped
// come from the thread that ends the run, after the dispatch thread has
// ended. An observer must return at once: it hands a small value to its own
// queue or snapshot (see CAsyncObserver) and never waits for a disk, a
// database or a network. Nothing the station does depends on an observer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cardlink/CardState.h"
#include "core/RecordHealth.h"
#include "resources/OrvaneTypes.h"

struct StatSample {
    int64_t time = 0;                       // wall-clock seconds since 1970
    std::array<int32_t, MAX_CARDS> busy{};  // 1: the card in that slot was in Busy Session
};

enum class StationEventKind : uint8_t {
    StatusChanged,      // a card's status, MES ID or service changed; `reason` a StatusReason
    LinkUp,             // the link to the card's host came up
    LinkDown,           // it went down; `reason` a VexlinkNote
    LinkFailed,         // a connect attempt ended without a link; `reason` a VexlinkNote
    CardNotListed,      // the host has been connected for a while but never listed the card
    SessionFollowed,    // a session start was taken: `mesId`, `service`
    SessionRefused,     // `reason` a RefusalReason, `heldBy`, `action` a RefusalAction
    SessionEnded,       // `mesId`, `service`, `value` its seconds; `reason` a SessionEndCause
    BusySeconds,        // the card's busySeconds became `value`
    Sample,             // `sample` was taken; `value` counts the samples of the run
    StatisticsWritten,  // `text` is the statistics file's path
    StatisticsFailed,   // `text` is the message the user was shown
    RecordFailing,      // `reason` a StationRecord: it cannot be kept; `text` why, `value` since
    RecordResumed,      // `reason` a StationRecord: it is kept again
};

// Why a card's status changed.
enum class StatusReason : int32_t {
    LinkUp,           // Host Connected
    LinkDown,         // Not Connected
    ModeStarted,      // the host listed the card: Mode Running
    SessionFollowed,  // Busy Session
    SessionEnded,     // an end record: Mode Running
    Other,            // a status set directly (tests, tools)
};

enum class RefusalReason : int32_t {
    NotWatched,  // the MES ID is not on the watch list
    HeldByCard,  // card `heldBy` follows this MES ID (every idle card holds MES ID 0)
    Unknown,     // refused without a session start seen (tools, tests)
};

// What the refused card was sent to go back to searching.
enum class RefusalAction : int32_t {
    Resync,     // "Start resync"
    ModeSetup,  // a sat-c-tdm card off a session: its mode setup again
};

enum class SessionEndCause : int32_t {
    EndRecord,    // the card reported the session's end
    LinkDown,     // the link went down during the session
    LinkUp,       // the link came up anew during the session
    Replaced,     // a new session started on the card
    ModeStarted,  // the host listed the card again: mode setup
    Other,
};

// One thing that happened. A plain value, small enough to copy into a queue.
struct StationEvent {
    StationEventKind kind = StationEventKind::StatusChanged;
    int64_t wallTime = 0;  // seconds since 1970
    int64_t steadyMs = 0;  // the core's steady clock
    int32_t card = 0;      // 1-based; 0 for the station
    int32_t serialNumber = 0;
    int32_t status = 0;  // the card's status after the event
    int32_t previousStatus = 0;
    int32_t mesId = 0;
    int32_t service = 0;
    int32_t reason = 0;  // by kind: StatusReason, VexlinkNote, RefusalReason, SessionEndCause
    int32_t heldBy = 0;  // SessionRefused with HeldByCard
    int32_t action = 0;  // SessionRefused: RefusalAction
    int64_t value = 0;   // by kind: seconds, busy seconds, samples taken
    StatSample sample;   // Sample
    std::string text;    // statistics file events
};

// The run as it starts, before the first pass.
struct StationInfo {
    int64_t startTime = 0;      // wall-clock seconds since 1970
    int64_t startSteadyMs = 0;  // the core's steady clock then: an event's steadyMs less
                                // this is its time into the run, whatever the wall clock did
    int64_t startWallMs = 0;    // the wall clock then in milliseconds; 0: startTime's second
    int32_t alsPeriod = 0;
    int32_t logInterval = 0;
    std::vector<int32_t> watchList;
    std::vector<CardState> cards;  // in slot order
    std::string dataDir;
};

// What the station counts per card beyond its designed state.
struct CardCounters {
    int64_t linkUps = 0;
    int64_t linkDowns = 0;
    int64_t linkFailures = 0;
    int64_t sessionsFollowed = 0;
    int64_t sessionsRefused = 0;
    int64_t messagesReceived = 0;
    int64_t lastMessageWallMs = 0;  // 0: no message yet
    int32_t lastLinkLoss = 0;       // VexlinkNote of the last link down or failed attempt
    int64_t lastLinkLossTime = 0;   // wall-clock seconds; 0: never
    bool notListed = false;         // CardNotListed was told since the link came up
};

// An immutable picture of the station after a pass, shared by pointer.
struct StationSnapshot {
    uint64_t sequence = 0;  // grows with every snapshot of the run
    int64_t wallTime = 0;   // when it was taken, seconds since 1970
    int64_t wallTimeMs = 0;
    int64_t startTime = 0;
    int32_t alsPeriod = 0;
    int32_t logInterval = 0;
    std::vector<int32_t> watchList;
    uint64_t samplesTaken = 0;
    uint64_t passes = 0;         // dispatch passes so far
    int64_t lastPassWallMs = 0;  // wall-clock milliseconds of the last pass
    int32_t queueBytes = 0;      // event queue bytes in use
    int32_t queueCapacity = 0;
    std::vector<CardState> rows;  // in slot order
    std::vector<CardCounters> counters;
    std::vector<RecordTrouble> recordTroubles;  // the journal or history failing now
};

// After every pass of the dispatch thread.
struct StationPass {
    int64_t steadyMs = 0;
    uint64_t passes = 0;
    // The latest snapshot; a new one (a higher sequence) after a pass that changed something.
    std::shared_ptr<const StationSnapshot> snapshot;
};

class CStationObserver {
public:
    virtual ~CStationObserver() = default;
    virtual void OnRunStarted(const StationInfo& /*info*/) {}
    virtual void OnEvent(const StationEvent& event) = 0;
    virtual void OnPass(const StationPass& /*pass*/) {}
    // After the statistics file's event, once the core is being torn down.
    virtual void OnRunStopped() {}
    // After a run of calls when no more are waiting (asynchronous observers):
    // make durable what they wrote, as a batch.
    virtual void Flush() {}
};

// Where samples that left the core's memory can be read back. With an archive
// set, the core keeps in memory only the samples the archive does not yet hold
// durably (and a few more); the statistics file streams the rest from it.
class CSampleArchive {
public:
    virtual ~CSampleArchive() = default;
    // How many of the run's first samples are durable, in order. Any thread.
    virtual uint64_t DurableSamples() const = 0;
    // Hands the run's first `count` samples to `each` in order. False when they
    // cannot all be read back (then the file is not written from them).
    virtual bool ReadSamples(uint64_t count,
                             const std::function<void(const StatSample&)>& each) = 0;
};
