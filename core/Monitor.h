// The monitoring core: the one object that owns everything for a run.
//
// It owns the parser, the event queue, the logger, up to ten cards, the watch
// list and the statistics samples. It is built from the run's configuration,
// read before it (core/StationConfig.h), and lives inside a run
// (core/StationRun.h), which builds and destroys it and alone runs its
// dispatch thread: that thread alone calls Tick and the event operations, and
// the front end reads rows, the watch list and the two settings. Card events
// reach it only through the queue.
//
// Timers (reconnect pass, ALS step, statistics sample) count whole seconds of
// the steady clock, so setting the wall clock back does not suspend them; the
// times the user sees (sample times, start and stop time) are wall-clock times.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cardlink/Card.h"
#include "cardlink/CardState.h"
#include "cardlink/Clock.h"
#include "cardlink/EventQueue.h"
#include "cardlink/Logger.h"
#include "config/Notifier.h"
#include "core/StationConfig.h"
#include "core/StationObserver.h"
#include "parser/SATXML.h"
#include "resources/OrvaneTypes.h"

constexpr int64_t RECONNECT_PACE_SECONDS = 20;
constexpr int64_t FIRST_PASS_BACKDATE_SECONDS = 40;

// Samples kept in memory beyond those a sample archive holds durably.
constexpr size_t SAMPLE_WINDOW = 64;
// A host connected this long without listing the card is told to the observers.
constexpr int64_t NOT_LISTED_AFTER_MS = 30000;
// Snapshots that only counters changed (messages received) are taken at most this often.
constexpr int64_t COUNTER_SNAPSHOT_PACE_MS = 250;

class COrvane {
public:
    // The cards, the watch list, the periods, the folders and the logger's
    // file come from `config`. `messages` shows the statistics file's problems
    // to the user; empty, they go where ShowMessage sends them.
    explicit COrvane(StationConfig config, const CClock* clock = &SystemClock(),
                     MessageHandler messages = MessageHandler());
    // Writes the statistics file, disconnects and deletes every card, then the
    // queue, then the logger. Call it only after the dispatch thread has ended.
    virtual ~COrvane();

    COrvane(const COrvane&) = delete;
    COrvane& operator=(const COrvane&) = delete;

    // The periodic step: what mode setups have due, then the reconnect pass,
    // the ALS step and the statistics sample, each on its timer.
    void Tick();
    // How long the dispatch thread may wait for a record before Tick has
    // something to do; 0 when something is due now.
    int64_t MillisecondsToNextTimer() const;
    // The station stops: mode setups under way and the commands waiting behind
    // them are dropped.
    void CancelWaitingCommands();
    // Any thread: whether some card's mode setup is under way; whether the
    // setup of the card with this 1-based number is.
    bool SetupsUnderWay() const;
    bool SetupUnderWay(int32_t card) const;
    bool IsFirstCardOnHost(int32_t card, std::set<int32_t>& laterCards) const;
    // Writes the stop record into the queue (user-interface thread).
    void PostQuit();

    // Rows for the status table: one consistent copy per card, in slot order.
    void GetCardRows(std::vector<CardState>& rows) const;
    std::vector<int32_t> GetWatchList() const;
    int32_t GetLogInterval() const { return m_logInterval; }
    int32_t GetAlsPeriod() const { return m_alsPeriod; }
    int32_t GetCardCount() const { return m_cardCount; }
    const std::string& GetDataDir() const { return m_dataDir; }
    int64_t GetStartTime() const { return m_startTime; }
    // The samples kept in memory (all of the run's without an archive), and
    // how many the run took: on the dispatch thread, or once it has ended.
    const std::deque<StatSample>& GetSamples() const { return m_samples; }
    uint64_t SamplesTaken() const { return m_firstKeptSample + m_samples.size(); }

    // The operations layer. Observers and the archive are not owned and are
    // set before the dispatch thread starts; they must outlive the core.
    void AddObserver(CStationObserver* observer);
    void SetSampleArchive(CSampleArchive* archive);
    // Where the journal and the history say whether they are kept; read after
    // every pass, into the snapshot and as RecordFailing/RecordResumed events.
    void SetRecordHealth(const CRecordHealth* health);
    // Dispatch thread: the run begins (before the first pass), a card message
    // was taken from the queue, a pass ends (after Tick).
    void BeginRun();
    void CountMessage(int32_t card);
    void EndPass();
    // The snapshot the observers were last given (BeginRun builds the
    // first); dispatch thread.
    const std::shared_ptr<const StationSnapshot>& CurrentSnapshot() const { return m_snapshot; }
    // How many samples were taken so far; any thread.
    uint64_t GetSampleCount() const { return m_sampleCount.load(std::memory_order_relaxed); }

    // Card events, called by the dispatch thread with the record's 1-based card
    // number. A number outside 1..card count is ignored.
    void SetCardStatus(int32_t card, int32_t status, int32_t mesId, int32_t service);
    void ConnectHostCards(int32_t card);
    void OnCardList(int32_t card, const std::vector<int32_t>& cardList);
    bool HostListsCard(int32_t card, const std::vector<int32_t>& cardList) const;
    void StartCardMode(int32_t card);
    void ApplyCardParameters(std::vector<ParameterEntry> paramList, int32_t card);
    bool StartSession(int32_t card, int32_t mesId, int32_t service);
    void RejectSession(int32_t card);
    void EndSession(int32_t card);

    // Writes the statistics file of the run, once: the first step of the
    // Exit sequence, after the dispatch thread has ended. True when there was
    // nothing to write or the file is in place; false when the folder or the
    // file could not be made or written (the user has been told). A later call
    // writes nothing and gives the same result; the destructor calls it when
    // nobody has.
    bool WriteStatistics();
    // Once WriteStatistics has run: the file's path when it was written, else
    // the message the user was shown (both empty without samples).
    const std::string& StatisticsPath() const { return m_statisticsPath; }
    const std::string& StatisticsProblem() const { return m_statisticsProblem; }

    // The number of bytes in the event queue; any thread.
    int32_t QueuedBytes() const { return m_queue->Unread(); }

private:
    // The dispatch thread reads the queue and parses the messages; the tests
    // write records into the queue as the card library would.
    friend class CDispatcher;
    friend struct COrvaneTestAccess;

    CSATXML m_parser;
    std::unique_ptr<CCircularBuffer<char>> m_queue;

    bool WriteRunStatistics();                    // WriteStatistics without the memory
    CCard* CardOf(int32_t card) const;            // nullptr outside 1..m_cardCount
    int32_t FirstSlotOnHost(int32_t slot) const;  // the lowest slot of the same host
    // A host is an address and the port of a device model.
    static bool SameHost(const CCard& a, const CCard& b);
    int64_t SteadySeconds() const;

    // The state change of every event operation: tells the observers what it
    // ended, added and changed.
    void ChangeState(int32_t slot, int32_t status, int32_t mesId, int32_t service,
                     StatusReason reason);
    StationEvent CardEvent(StationEventKind kind, int32_t slot) const;
    void Emit(StationEvent& event);
    void TakeSample();
    // Failed connect attempts, and hosts that never list their card.
    void CheckLinks();
    std::shared_ptr<const StationSnapshot> BuildSnapshot();
    // Takes in what m_health says, when it changed, and tells the observers.
    void ReadRecordHealth();
    // The statistics file's outcome, told to the user and the observers.
    void StatisticsFailed(const std::string& message);

    // What the observers are told beyond the designed state; dispatch thread.
    struct CardExtra {
        CardCounters counters;
        int64_t sessionStartMs = 0;   // steady ms the session on the card began
        int64_t hostConnectedMs = 0;  // steady ms the link came up
    };
    std::vector<CStationObserver*> m_observers;
    CSampleArchive* m_archive = nullptr;
    const CRecordHealth* m_health = nullptr;
    uint64_t m_healthGeneration = 0;
    std::vector<RecordTrouble> m_troubles;  // as last read from m_health
    std::array<CardExtra, MAX_CARDS> m_extra{};
    struct Refusal {
        int32_t card = 0;
        RefusalReason reason = RefusalReason::Unknown;
        int32_t heldBy = 0;
        int32_t mesId = 0;
        int32_t service = 0;
    } m_lastRefusal;
    bool m_changed = true;           // since the last snapshot
    bool m_countersChanged = false;  // counters alone, since the last snapshot
    int64_t m_lastSnapshotMs = 0;
    uint64_t m_passes = 0;
    uint64_t m_snapshotSequence = 0;
    std::shared_ptr<const StationSnapshot> m_snapshot;

    std::unique_ptr<CLogger> m_logger;
    int32_t m_cardCount = 0;
    std::array<std::unique_ptr<CCard>, MAX_CARDS> m_cards;
    std::vector<int32_t> m_watchList;
    const CClock* m_clock;
    MessageHandler m_messages;
    // Cards whose mode setup was asked for by a card list and that become
    // Mode Running once its commands are out: the status they had when it began.
    std::array<std::optional<int32_t>, MAX_CARDS> m_modeRunningDue{};
    bool m_rowsChangedByTick = false;  // the table changed in Tick; the dispatcher clears it
    int64_t m_lastReconnect = 0;       // whole steady seconds
    int64_t m_lastAlsStep = 0;         // whole steady seconds
    int64_t m_startTime = 0;           // wall-clock seconds
    int64_t m_startSteadyMs = 0;       // the steady clock at the start
    int64_t m_startWallMs = 0;         // the wall clock then, in milliseconds
    std::deque<StatSample> m_samples;  // the run's samples from m_firstKeptSample on
    uint64_t m_firstKeptSample = 0;
    int64_t m_lastSample = 0;                // whole steady seconds
    std::atomic<uint64_t> m_sampleCount{0};  // SamplesTaken(), for the views' threads
    std::string m_dataDir;
    int32_t m_logInterval;
    int32_t m_alsPeriod;
    std::optional<bool> m_statisticsOutcome;
    std::string m_statisticsPath;
    std::string m_statisticsProblem;  // set once WriteStatistics has run
};
