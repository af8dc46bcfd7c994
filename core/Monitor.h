// The monitoring core: the one object that owns everything for a run.
//
// It owns the parser, the event queue, the logger, up to ten cards, the watch
// list and the statistics samples. The user-interface thread constructs and
// destroys it and reads rows, the watch list and the two settings; the
// dispatch thread alone calls Tick and the event operations. Card events reach
// it only through the queue.
//
// Timers (reconnect pass, ALS step, statistics sample) run on the steady
// clock, so setting the wall clock back does not suspend them; the times the
// user sees (sample times, start and stop time) are wall-clock times.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cardlink/Card.h"
#include "cardlink/CardState.h"
#include "cardlink/Clock.h"
#include "cardlink/EventQueue.h"
#include "cardlink/Logger.h"
#include "parser/SATXML.h"
#include "resources/OrvaneTypes.h"

constexpr int64_t RECONNECT_PACE_SECONDS = 20;
constexpr int64_t FIRST_PASS_BACKDATE_SECONDS = 40;

struct StatSample {
    int64_t time = 0;                       // wall-clock seconds since 1970
    std::array<int32_t, MAX_CARDS> busy{};  // 1: the card in that slot was in Busy Session
};

class COrvane {
public:
    // `logInterval` and `alsPeriod` come from the command line; the
    // configuration file overrides each one it gives.
    COrvane(int32_t logInterval, int32_t alsPeriod, const CClock* clock = &SystemClock());
    // Writes the statistics file, disconnects and deletes every card, then the
    // queue, then the logger. Call it only after the dispatch thread has ended.
    virtual ~COrvane();

    COrvane(const COrvane&) = delete;
    COrvane& operator=(const COrvane&) = delete;

    // The periodic step: reconnect pass, ALS step, statistics sample.
    void Tick();
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
    // The samples so far: on the dispatch thread, or once it has ended.
    const std::vector<StatSample>& GetSamples() const { return m_samples; }
    // How many samples were taken so far; any thread.
    uint32_t GetSampleCount() const { return m_sampleCount.load(std::memory_order_relaxed); }
    // The wall-clock time (seconds since 1970) the run started; any thread.
    int64_t GetStartTime() const { return m_startTime; }

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

    // Writes the statistics file of the run (first step of the destructor).
    void WriteStatistics();

    CSATXML m_parser;
    std::unique_ptr<CCircularBuffer<char>> m_queue;

private:
    CCard* CardOf(int32_t card) const;            // nullptr outside 1..m_cardCount
    int32_t FirstSlotOnHost(int32_t slot) const;  // the lowest slot with the same address

    std::unique_ptr<CLogger> m_logger;
    int32_t m_cardCount = 0;
    std::array<std::unique_ptr<CCard>, MAX_CARDS> m_cards;
    std::vector<int32_t> m_watchList;
    const CClock* m_clock;
    int64_t m_lastReconnect = 0;  // steady ms
    int64_t m_lastAlsStep = 0;    // steady ms
    int64_t m_startTime = 0;      // wall-clock seconds
    std::vector<StatSample> m_samples;
    std::atomic<uint32_t> m_sampleCount{0};  // m_samples.size(), for the views' threads
    int64_t m_lastSample = 0;                // steady ms
    std::string m_dataDir;
    int32_t m_logInterval;
    int32_t m_alsPeriod;
};
