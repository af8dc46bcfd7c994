// The monitoring core's own life: construction from the run's configuration,
// the periodic step, the host grouping rule, the stop request and the reads of
// the user interface. The card events are in CardEvents.cpp, the statistics
// file in Statistics.cpp.
#include "core/Monitor.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "cardlink/EventRecord.h"
#include "config/CardConfig.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr int64_t MS_PER_SECOND = 1000;

// Periods and intervals enter the timer comparisons as unsigned 32-bit counts
// of seconds, so a negative value from the command line means "never".
int64_t Period(int32_t seconds) {
    return static_cast<int64_t>(static_cast<uint32_t>(seconds));
}

bool IsKnownMode(int32_t mode) {
    return mode >= 0 && mode < SAT_MODE_COUNT;
}

}  // namespace

COrvane::COrvane(StationConfig config, const CClock* clock, MessageHandler messages)
    : m_clock(clock),
      m_messages(std::move(messages)),
      m_logInterval(config.logInterval),
      m_alsPeriod(config.alsPeriod) {
    m_logger = std::make_unique<CLogger>(config.logFile);
    m_queue = std::make_unique<CCircularBuffer<char>>(EVENT_QUEUE_CAPACITY);

    // Back-dating the reconnect and sample timers makes the first Tick connect
    // the cards and, for intervals up to 40 s, take the first sample.
    m_startSteadyMs = m_clock->SteadyMilliseconds();
    m_startWallMs = m_clock->WallMilliseconds();
    m_startTime = m_clock->WallSeconds();
    const int64_t steadyNow = SteadySeconds();
    m_lastReconnect = steadyNow - FIRST_PASS_BACKDATE_SECONDS;
    m_lastSample = steadyNow - FIRST_PASS_BACKDATE_SECONDS;
    m_lastAlsStep = SteadySeconds();

    m_dataDir = std::move(config.dataDir);
    for (const CardConfig& card : config.cards) {
        if (!IsKnownMode(card.mode)) {
            continue;
        }
        if (m_cardCount >= MAX_CARDS) {
            break;  // the reader hands over no more than this; never overflow the slots
        }
        m_cards[static_cast<size_t>(m_cardCount)] =
            std::make_unique<CCard>(m_cardCount + 1, card.address, card.serialNumber, card.mode,
                                    card.device, m_queue.get(), m_logger.get(), m_clock);
        ++m_cardCount;
    }
    m_watchList = std::move(config.watchList);
}

COrvane::~COrvane() {
    WriteStatistics();  // does nothing when the Exit sequence has written it already
    for (CStationObserver* observer : m_observers) {
        observer->OnRunStopped();
    }
    // The dispatch thread has ended: link-down records written while the cards
    // disconnect must be dropped when they do not fit, not waited for.
    m_queue->CloseReader();
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        std::unique_ptr<CCard>& card = m_cards[static_cast<size_t>(slot)];
        card->Disconnect();
        card.reset();
    }
    m_queue.reset();
    m_logger.reset();
}

CCard* COrvane::CardOf(int32_t card) const {
    if (card < 1 || card > m_cardCount) {
        return nullptr;
    }
    return m_cards[static_cast<size_t>(card - 1)].get();
}

int64_t COrvane::SteadySeconds() const {
    return m_clock->SteadyMilliseconds() / MS_PER_SECOND;
}

void COrvane::Tick() {
    // Mode setups first: an ALS step below may have to wait behind one. A
    // card whose setup's commands are all out becomes Mode Running, unless a
    // record of it changed its status meanwhile.
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        CCard& card = *m_cards[static_cast<size_t>(slot)];
        card.RunDueCommands();
        std::optional<int32_t>& due = m_modeRunningDue[static_cast<size_t>(slot)];
        if (due && card.SetupCommandsSent()) {
            if (card.Status() == *due) {
                ChangeState(slot, STATUS_MODE_RUNNING, 0, SERVICE_NONE, StatusReason::ModeStarted);
                m_rowsChangedByTick = true;
            }
            due.reset();
        }
    }

    // Whole seconds of the steady clock, compared as the periods are given:
    // with a pass at least once a second, a 4 s interval gives a sample every
    // 4 s on average, however the passes fall within the seconds.
    const int64_t now = SteadySeconds();

    if (now - m_lastReconnect > RECONNECT_PACE_SECONDS) {
        // The first card of a host is connected here; the host's later cards
        // follow when its link comes up (ConnectHostCards). A later card that
        // lost its link alone, while the first card's link stayed up, would wait
        // for that link to drop, perhaps for days: it is connected here too.
        for (int32_t slot = 0; slot < m_cardCount; ++slot) {
            CCard& card = *m_cards[static_cast<size_t>(slot)];
            if (card.Status() != STATUS_NOT_CONNECTED) {
                continue;
            }
            const CCard& first = *m_cards[static_cast<size_t>(FirstSlotOnHost(slot))];
            if (&first == &card || first.Status() != STATUS_NOT_CONNECTED) {
                card.ConnectHost();
            }
        }
        m_lastReconnect = now;
    }

    if (now - m_lastAlsStep > Period(m_alsPeriod)) {
        for (int32_t slot = 0; slot < m_cardCount; ++slot) {
            CCard& card = *m_cards[static_cast<size_t>(slot)];
            if (!card.CodeActive()) {
                continue;
            }
            const int32_t phase = card.AlsPhase();
            if (phase == 1) {
                card.AlsDigital();
            } else if (phase == 2) {
                card.AlsFinish();
            }
        }
        m_lastAlsStep = now;
    }

    if (m_logInterval != 0 && now - m_lastSample >= Period(m_logInterval)) {
        TakeSample();
        m_lastSample = now;
    }

    if (!m_observers.empty()) {
        CheckLinks();
    }
}

void COrvane::TakeSample() {
    StatSample sample;
    sample.time = m_clock->WallSeconds();
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        const bool busy = m_cards[static_cast<size_t>(slot)]->Status() == STATUS_BUSY_SESSION;
        sample.busy[static_cast<size_t>(slot)] = busy ? 1 : 0;
    }
    m_samples.push_back(sample);
    m_sampleCount.store(SamplesTaken(), std::memory_order_relaxed);
    if (m_archive != nullptr) {
        // What the archive holds durably may leave memory, but for a few.
        const uint64_t durable = m_archive->DurableSamples();
        while (m_samples.size() > SAMPLE_WINDOW && m_firstKeptSample < durable) {
            m_samples.pop_front();
            ++m_firstKeptSample;
        }
    }
    if (!m_observers.empty()) {
        StationEvent event = CardEvent(StationEventKind::Sample, -1);
        event.sample = sample;
        event.value = static_cast<int64_t>(SamplesTaken());
        Emit(event);
    }
}

int64_t COrvane::MillisecondsToNextTimer() const {
    // The first steady millisecond of the second in which each timer is due.
    int64_t due = (m_lastReconnect + RECONNECT_PACE_SECONDS + 1) * MS_PER_SECOND;
    due = std::min(due, (m_lastAlsStep + Period(m_alsPeriod) + 1) * MS_PER_SECOND);
    if (m_logInterval != 0) {
        due = std::min(due, (m_lastSample + Period(m_logInterval)) * MS_PER_SECOND);
    }
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        due = std::min(due, m_cards[static_cast<size_t>(slot)]->NextDueMs());
    }
    return std::max<int64_t>(0, due - m_clock->SteadyMilliseconds());
}

void COrvane::CancelWaitingCommands() {
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        m_cards[static_cast<size_t>(slot)]->CancelWaitingCommands();
        m_modeRunningDue[static_cast<size_t>(slot)].reset();
    }
}

bool COrvane::SetupUnderWay(int32_t card) const {
    const CCard* target = CardOf(card);
    return target != nullptr && target->SetupUnderWay();
}

bool COrvane::SetupsUnderWay() const {
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        if (m_cards[static_cast<size_t>(slot)]->SetupUnderWay()) {
            return true;
        }
    }
    return false;
}

bool COrvane::SameHost(const CCard& a, const CCard& b) {
    // Exact bytes of the address (no name is resolved, letter case matters)
    // and the port of the device: one address may serve several device
    // models, each a host of its own that answers or fails on its own.
    return a.Address() == b.Address() &&
           std::string_view(PortOfDevice(a.Device())) == PortOfDevice(b.Device());
}

int32_t COrvane::FirstSlotOnHost(int32_t slot) const {
    const CCard& card = *m_cards[static_cast<size_t>(slot)];
    for (int32_t first = 0; first < slot; ++first) {
        if (SameHost(*m_cards[static_cast<size_t>(first)], card)) {
            return first;
        }
    }
    return slot;
}

bool COrvane::IsFirstCardOnHost(int32_t card, std::set<int32_t>& laterCards) const {
    const CCard* self = CardOf(card);
    if (self == nullptr) {
        return false;
    }
    for (int32_t slot = 0; slot < card - 1; ++slot) {
        if (SameHost(*m_cards[static_cast<size_t>(slot)], *self)) {
            return false;
        }
    }
    for (int32_t slot = card; slot < m_cardCount; ++slot) {
        if (SameHost(*m_cards[static_cast<size_t>(slot)], *self)) {
            laterCards.insert(slot);
        }
    }
    return true;
}

void COrvane::PostQuit() {
    EventRecord record{};
    record.type = EVT_QUIT;
    record.length = static_cast<int16_t>(EVENT_HEADER_SIZE);
    char bytes[EVENT_HEADER_SIZE];
    std::memcpy(bytes, &record, sizeof bytes);
    m_queue->Write(bytes, EVENT_HEADER_SIZE);
}

void COrvane::GetCardRows(std::vector<CardState>& rows) const {
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        rows.push_back(m_cards[static_cast<size_t>(slot)]->GetState());
    }
}

std::vector<int32_t> COrvane::GetWatchList() const {
    return m_watchList;
}
