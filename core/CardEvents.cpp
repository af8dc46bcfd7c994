// The core's card events: what a link change, a host's card list, a parameter
// report and the start or end of a session do to the cards.
//
// All of them run on the dispatch thread, one at a time, never together with
// Tick. Every one names its card by the record's 1-based number and ignores a
// number outside 1..card count, so a damaged record can never reach a slot
// that holds no card.
//
//   any                 --link down-------------> Not Connected (no session)
//   any                 --link up---------------> Host Connected (no session)
//   any but Card Ready  --host lists the card---> Mode Running, after the mode setup
//   any                 --session start taken---> Busy Session, with MES ID and service
//   any                 --session end-----------> Mode Running (no session)
#include "core/Monitor.h"

#include <algorithm>
#include <set>
#include <utility>

#include "cardlink/CardCommands.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr const char* PARAMETER_ALS = "als";
constexpr const char* PARAMETER_CODE = "code";

}  // namespace

void COrvane::SetCardStatus(int32_t card, int32_t status, int32_t mesId, int32_t service) {
    CCard* target = CardOf(card);
    if (target == nullptr) {
        return;
    }
    const int32_t slot = card - 1;
    const StatusReason reason = status == STATUS_HOST_CONNECTED  ? StatusReason::LinkUp
                                : status == STATUS_NOT_CONNECTED ? StatusReason::LinkDown
                                                                 : StatusReason::Other;
    ChangeState(slot, status, mesId, service, reason);
    if (m_observers.empty() || reason == StatusReason::Other) {
        return;
    }
    CardCounters& counters = m_extra[static_cast<size_t>(slot)].counters;
    StationEvent event = CardEvent(
        reason == StatusReason::LinkUp ? StationEventKind::LinkUp : StationEventKind::LinkDown,
        slot);
    if (reason == StatusReason::LinkUp) {
        ++counters.linkUps;
    } else {
        ++counters.linkDowns;
        event.reason = target->TakeLinkEndNote();
        counters.lastLinkLoss = event.reason;
        counters.lastLinkLossTime = m_clock->WallSeconds();
    }
    Emit(event);
}

void COrvane::ConnectHostCards(int32_t card) {
    // Only the first card of a host pulls the others up; each later card's
    // link-up would otherwise reconnect its neighbours again.
    std::set<int32_t> laterCards;
    if (!IsFirstCardOnHost(card, laterCards)) {
        return;
    }
    for (const int32_t slot : laterCards) {
        m_cards[static_cast<size_t>(slot)]->ConnectHost();
    }
}

void COrvane::OnCardList(int32_t card, const std::vector<int32_t>& /*cardList*/) {
    // The card attaches to itself by its own serial number, listed or not.
    CCard* target = CardOf(card);
    if (target == nullptr) {
        return;
    }
    target->SendConnectCommand();
}

bool COrvane::HostListsCard(int32_t card, const std::vector<int32_t>& cardList) const {
    const CCard* target = CardOf(card);
    if (target == nullptr) {
        return false;
    }
    return std::find(cardList.begin(), cardList.end(), target->SerialNumber()) != cardList.end();
}

void COrvane::StartCardMode(int32_t card) {
    CCard* target = CardOf(card);
    if (target == nullptr || target->Status() == STATUS_CARD_READY) {
        return;
    }
    target->ApplyMode();
    if (!target->SetupCommandsSent()) {
        // Mode Running once the setup's last command has gone out (Tick), as
        // when the setup held the thread; a record of the card handled
        // meanwhile that changes its status (a session, a lost link) stands.
        m_modeRunningDue[static_cast<size_t>(card - 1)] = target->Status();
        return;
    }
    ChangeState(card - 1, STATUS_MODE_RUNNING, 0, SERVICE_NONE, StatusReason::ModeStarted);
}

void COrvane::ApplyCardParameters(std::vector<ParameterEntry> paramList, int32_t card) {
    CCard* target = CardOf(card);
    if (target == nullptr) {
        return;
    }
    for (const ParameterEntry& entry : paramList) {
        if (entry.name == PARAMETER_ALS) {
            // An ALS period of 0 switches the ALS walk off; either way the
            // first "als" ends the walk through the list.
            if (m_alsPeriod != 0) {
                target->OnAlsReport(entry.value);
            }
            return;
        }
        if (entry.name == PARAMETER_CODE) {
            target->SetCodeActive(entry.value != CODE_NO_MODE);
        }
    }
}

bool COrvane::StartSession(int32_t card, int32_t mesId, int32_t service) {
    CCard* target = CardOf(card);
    if (target == nullptr) {
        return false;
    }
    // The observers learn why a start was refused from RejectSession, which
    // follows and knows what the card was sent.
    m_lastRefusal = Refusal{card, RefusalReason::NotWatched, 0, mesId, service};
    if (!m_watchList.empty() &&
        std::find(m_watchList.begin(), m_watchList.end(), mesId) == m_watchList.end()) {
        return false;
    }
    // One card per MES ID. Cards outside a session hold MES ID 0, so a start
    // with MES ID 0 is refused while any card is idle.
    for (int32_t slot = 0; slot < m_cardCount; ++slot) {
        if (m_cards[static_cast<size_t>(slot)]->MesId() == mesId) {
            m_lastRefusal.reason = RefusalReason::HeldByCard;
            m_lastRefusal.heldBy = slot + 1;
            return false;
        }
    }
    m_lastRefusal = Refusal{};
    ChangeState(card - 1, STATUS_BUSY_SESSION, mesId, service, StatusReason::SessionFollowed);
    if (!m_observers.empty()) {
        ++m_extra[static_cast<size_t>(card - 1)].counters.sessionsFollowed;
        StationEvent event = CardEvent(StationEventKind::SessionFollowed, card - 1);
        event.mesId = mesId;
        event.service = service;
        Emit(event);
    }
    return true;
}

void COrvane::RejectSession(int32_t card) {
    CCard* target = CardOf(card);
    if (target == nullptr) {
        return;
    }
    // Either way the card goes back to searching; its state stays as it is.
    RefusalAction action = RefusalAction::Resync;
    if (target->Mode() == MODE_SAT_C_TDM && target->Status() != STATUS_BUSY_SESSION) {
        target->ApplyMode();
        action = RefusalAction::ModeSetup;
    } else {
        target->Resync();
    }
    if (m_observers.empty()) {
        return;
    }
    ++m_extra[static_cast<size_t>(card - 1)].counters.sessionsRefused;
    StationEvent event = CardEvent(StationEventKind::SessionRefused, card - 1);
    const Refusal refusal = std::exchange(m_lastRefusal, Refusal{});
    event.reason =
        static_cast<int32_t>(refusal.card == card ? refusal.reason : RefusalReason::Unknown);
    if (refusal.card == card) {
        event.heldBy = refusal.heldBy;
        event.mesId = refusal.mesId;
        event.service = refusal.service;
    }
    event.action = static_cast<int32_t>(action);
    Emit(event);
}

void COrvane::EndSession(int32_t card) {
    CCard* target = CardOf(card);
    if (target == nullptr) {
        return;
    }
    ChangeState(card - 1, STATUS_MODE_RUNNING, 0, SERVICE_NONE, StatusReason::SessionEnded);
}
