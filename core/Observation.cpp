// What the core tells its observers: the state changes of the card events
// with their reasons, the sessions and their ends, the counters of each card,
// and after every pass a snapshot of the whole station when something changed.
//
// Everything here runs on the dispatch thread. Without an observer the event
// operations change the cards as designed and nothing else is done.
#include <algorithm>
#include <chrono>
#include <utility>

#include "core/Monitor.h"

namespace {

int64_t WallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SessionEndCause EndCauseOf(StatusReason reason) {
    switch (reason) {
        case StatusReason::LinkUp:
            return SessionEndCause::LinkUp;
        case StatusReason::LinkDown:
            return SessionEndCause::LinkDown;
        case StatusReason::ModeStarted:
            return SessionEndCause::ModeStarted;
        case StatusReason::SessionFollowed:
            return SessionEndCause::Replaced;
        case StatusReason::SessionEnded:
            return SessionEndCause::EndRecord;
        case StatusReason::Other:
            break;
    }
    return SessionEndCause::Other;
}

}  // namespace

void COrvane::AddObserver(CStationObserver* observer) {
    if (observer != nullptr) {
        m_observers.push_back(observer);
    }
}

void COrvane::SetSampleArchive(CSampleArchive* archive) {
    m_archive = archive;
}

void COrvane::SetRecordHealth(const CRecordHealth* health) {
    m_health = health;
}

void COrvane::ReadRecordHealth() {
    if (m_health == nullptr || m_health->Generation() == m_healthGeneration) {
        return;
    }
    m_healthGeneration = m_health->Generation();
    std::vector<RecordTrouble> now = m_health->Troubles();
    for (const StationRecord record : {StationRecord::Journal, StationRecord::History}) {
        auto find = [record](const std::vector<RecordTrouble>& list) {
            return std::find_if(list.begin(), list.end(),
                                [record](const RecordTrouble& t) { return t.record == record; });
        };
        const auto before = find(m_troubles);
        const auto after = find(now);
        StationEvent event = CardEvent(StationEventKind::RecordFailing, -1);
        event.reason = static_cast<int32_t>(record);
        if (after != now.end() && (before == m_troubles.end() || before->why != after->why)) {
            event.text = after->why;
            event.value = after->since;
            Emit(event);
        } else if (after == now.end() && before != m_troubles.end()) {
            event.kind = StationEventKind::RecordResumed;
            Emit(event);
        }
    }
    m_troubles = std::move(now);
    m_changed = true;
}

StationEvent COrvane::CardEvent(StationEventKind kind, int32_t slot) const {
    StationEvent event;
    event.kind = kind;
    if (slot >= 0 && slot < m_cardCount) {
        const CCard& card = *m_cards[static_cast<size_t>(slot)];
        event.card = slot + 1;
        event.serialNumber = card.SerialNumber();
        event.status = card.Status();
        event.previousStatus = event.status;
    }
    return event;
}

void COrvane::Emit(StationEvent& event) {
    event.wallTime = m_clock->WallSeconds();
    event.steadyMs = m_clock->SteadyMilliseconds();
    for (CStationObserver* observer : m_observers) {
        observer->OnEvent(event);
    }
    m_changed = true;
}

void COrvane::ChangeState(int32_t slot, int32_t status, int32_t mesId, int32_t service,
                          StatusReason reason) {
    CCard& card = *m_cards[static_cast<size_t>(slot)];
    if (m_observers.empty()) {
        card.SetState(status, mesId, service);
        return;
    }
    const CardState before = card.GetState();
    card.SetState(status, mesId, service);
    const CardState after = card.GetState();
    CardExtra& extra = m_extra[static_cast<size_t>(slot)];
    const int64_t now = m_clock->SteadyMilliseconds();

    if (before.status == STATUS_BUSY_SESSION) {
        StationEvent ended = CardEvent(StationEventKind::SessionEnded, slot);
        ended.previousStatus = before.status;
        ended.mesId = before.mesId;
        ended.service = before.service;
        ended.reason = static_cast<int32_t>(EndCauseOf(reason));
        ended.value = std::max<int64_t>(0, now - extra.sessionStartMs) / 1000;
        Emit(ended);
    }
    if (after.status == STATUS_BUSY_SESSION) {
        extra.sessionStartMs = now;
    }
    if (after.status == STATUS_HOST_CONNECTED) {
        extra.hostConnectedMs = now;
        extra.counters.notListed = false;
    }
    if (after.busySeconds != before.busySeconds) {
        StationEvent busy = CardEvent(StationEventKind::BusySeconds, slot);
        busy.value = after.busySeconds;
        Emit(busy);
    }
    if (after.status != before.status || after.mesId != before.mesId ||
        after.service != before.service) {
        StationEvent changed = CardEvent(StationEventKind::StatusChanged, slot);
        changed.previousStatus = before.status;
        changed.mesId = after.mesId;
        changed.service = after.service;
        changed.reason = static_cast<int32_t>(reason);
        Emit(changed);
    }
    m_changed = true;
}

void COrvane::CheckLinks() {
    const int64_t now = m_clock->SteadyMilliseconds();
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        CardExtra& extra = m_extra[static_cast<size_t>(slot)];
        const int32_t attempt = m_cards[static_cast<size_t>(slot)]->TakeAttemptNote();
        if (attempt != 0) {
            ++extra.counters.linkFailures;
            extra.counters.lastLinkLoss = attempt;
            extra.counters.lastLinkLossTime = m_clock->WallSeconds();
            StationEvent failed = CardEvent(StationEventKind::LinkFailed, slot);
            failed.reason = attempt;
            Emit(failed);
        }
        if (extra.counters.notListed ||
            m_cards[static_cast<size_t>(slot)]->Status() != STATUS_HOST_CONNECTED ||
            now - extra.hostConnectedMs < NOT_LISTED_AFTER_MS) {
            continue;
        }
        extra.counters.notListed = true;
        StationEvent event = CardEvent(StationEventKind::CardNotListed, slot);
        event.value = (now - extra.hostConnectedMs) / 1000;
        Emit(event);
    }
}

void COrvane::CountMessage(int32_t card) {
    if (card < 1 || card > m_cardCount || m_observers.empty()) {
        return;
    }
    CardCounters& counters = m_extra[static_cast<size_t>(card - 1)].counters;
    ++counters.messagesReceived;
    counters.lastMessageWallMs = WallMilliseconds();
    m_countersChanged = true;
}

void COrvane::BeginRun() {
    if (m_observers.empty()) {
        return;
    }
    StationInfo info;
    info.startTime = m_startTime;
    info.startSteadyMs = m_startSteadyMs;
    info.startWallMs = m_startWallMs;
    info.alsPeriod = m_alsPeriod;
    info.logInterval = m_logInterval;
    info.watchList = m_watchList;
    info.dataDir = m_dataDir;
    GetCardRows(info.cards);
    for (CStationObserver* observer : m_observers) {
        observer->OnRunStarted(info);
    }
    m_snapshot = BuildSnapshot();
}

std::shared_ptr<const StationSnapshot> COrvane::BuildSnapshot() {
    auto snapshot = std::make_shared<StationSnapshot>();
    snapshot->sequence = ++m_snapshotSequence;
    snapshot->wallTimeMs = WallMilliseconds();
    snapshot->wallTime = m_clock->WallSeconds();
    snapshot->startTime = m_startTime;
    snapshot->alsPeriod = m_alsPeriod;
    snapshot->logInterval = m_logInterval;
    snapshot->watchList = m_watchList;
    snapshot->samplesTaken = SamplesTaken();
    snapshot->passes = m_passes;
    snapshot->lastPassWallMs = snapshot->wallTimeMs;
    snapshot->queueBytes = m_queue->Unread();
    snapshot->queueCapacity = m_queue->Capacity();
    GetCardRows(snapshot->rows);
    snapshot->recordTroubles = m_troubles;
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        snapshot->counters.push_back(m_extra[static_cast<size_t>(slot)].counters);
    }
    m_lastSnapshotMs = m_clock->SteadyMilliseconds();
    m_changed = false;
    m_countersChanged = false;
    return snapshot;
}

void COrvane::EndPass() {
    ++m_passes;
    if (m_observers.empty()) {
        return;
    }
    ReadRecordHealth();
    const int64_t now = m_clock->SteadyMilliseconds();
    if (m_changed || (m_countersChanged && now - m_lastSnapshotMs >= COUNTER_SNAPSHOT_PACE_MS)) {
        m_snapshot = BuildSnapshot();
    }
    StationPass pass;
    pass.steadyMs = now;
    pass.passes = m_passes;
    pass.snapshot = m_snapshot;
    for (CStationObserver* observer : m_observers) {
        observer->OnPass(pass);
    }
}
