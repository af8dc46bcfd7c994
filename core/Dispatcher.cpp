// One pass of the dispatch thread:
//
//   refresh requested? -> ask the front end to redraw (once)
//   read a header (wait up to 1 s, or until the core's next timer is due)
//     EVT_QUIT          -> close the reader side of the queue, end
//     EVT_CARD_STATUS   -> status of the card; link up also connects the host's other cards
//     EVT_CARD_MESSAGE  -> read the payload; cards information, else parameter
//                          list, else traffic text
//     anything else     -> nothing
//   Tick, then the observers hear of the pass
//
// All card-driven state changes happen here, one record at a time, in queue order.
#include "core/Dispatcher.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/Monitor.h"

namespace {

constexpr int32_t HEADER_WAIT_MS = 1000;
constexpr int32_t PAYLOAD_WAIT_MS = 0;

// Waits for a header no longer than the core can wait: a mode setup's pause or
// a timer that falls due within the second must run on time. The queue polls
// in 50 ms steps, so a wait ends on the first poll at or after the due time.
bool ReadHeader(CCircularBuffer<char>& queue, char (&bytes)[EVENT_HEADER_SIZE], int64_t dueInMs) {
    if (dueInMs <= 0) {
        // Due now: take a record that is there already, but do not wait for one.
        return queue.Unread() >= EVENT_HEADER_SIZE &&
               queue.Read(bytes, EVENT_HEADER_SIZE, PAYLOAD_WAIT_MS);
    }
    // A read given a time limit of t sleeps (t / 50 + 1) polls: t = due - 1
    // ends it on the first poll past the due time.
    const int64_t limit = std::min<int64_t>(HEADER_WAIT_MS, dueInMs - 1);
    return queue.Read(bytes, EVENT_HEADER_SIZE, static_cast<int32_t>(limit));
}

}  // namespace

CDispatcher::CDispatcher(COrvane& core, DispatchHooks hooks)
    : m_core(core), m_queue(*core.m_queue), m_parser(core.m_parser), m_hooks(std::move(hooks)) {}

bool CDispatcher::IsCard(int32_t card) const {
    return card >= 1 && card <= m_core.GetCardCount();
}

void CDispatcher::Run() {
    m_core.BeginRun();
    if (m_hooks.begun) {
        m_hooks.begun();
    }
    for (;;) {
        if (std::exchange(m_refreshPending, false) && m_hooks.refresh) {
            m_hooks.refresh();
        }
        char bytes[EVENT_HEADER_SIZE];
        if (ReadHeader(m_queue, bytes, m_core.MillisecondsToNextTimer())) {
            EventRecord header;
            std::memcpy(&header, bytes, sizeof header);
            if (!Handle(header)) {
                break;  // no Tick after the stop record
            }
        }
        m_core.Tick();
        if (std::exchange(m_core.m_rowsChangedByTick, false)) {
            m_refreshPending = true;
        }
        m_core.EndPass();
    }
}

bool CDispatcher::Handle(const EventRecord& header) {
    switch (header.type) {
        case EVT_QUIT:
            // Records behind the stop record stay unread, and nothing reads from
            // now on: writers must not wait for room any more. Mode setups
            // under way end here too.
            m_queue.CloseReader();
            m_core.CancelWaitingCommands();
            return false;
        case EVT_CARD_STATUS:
            HandleStatus(header);
            return true;
        case EVT_CARD_MESSAGE: {
            std::string payload;
            if (ReadPayload(header, payload)) {
                HandleMessage(header, std::move(payload));
            }
            return true;
        }
        default:
            return true;  // unknown type: no payload is read
    }
}

bool CDispatcher::ReadPayload(const EventRecord& header, std::string& payload) {
    const int32_t length = header.length;
    if (length < EVENT_HEADER_SIZE) {
        return false;  // a damaged header: its payload length means nothing, so none is read
    }
    // At most MAX_EVENT_PAYLOAD bytes, since length is 16-bit.
    payload.assign(static_cast<size_t>(length - EVENT_HEADER_SIZE), '\0');
    return m_queue.Read(payload.data(), static_cast<int32_t>(payload.size()), PAYLOAD_WAIT_MS);
}

void CDispatcher::HandleStatus(const EventRecord& header) {
    if (!IsCard(header.card)) {
        return;
    }
    const int32_t status = header.status;
    // Host Connected is recorded before the host's other cards are connected.
    m_core.SetCardStatus(header.card, status, 0, SERVICE_NONE);
    m_refreshPending = true;
    if (status == STATUS_HOST_CONNECTED) {
        m_core.ConnectHostCards(header.card);
    }
}

void CDispatcher::HandleMessage(const EventRecord& header, std::string payload) {
    if (!IsCard(header.card)) {
        return;
    }
    m_core.CountMessage(header.card);
    payload.resize(std::strlen(payload.c_str()));  // the text ends at its first NUL

    if (m_parser.ParseCardsInformation(payload, m_cardList)) {
        // The Connect command goes out before the mode setup.
        m_core.OnCardList(header.card, m_cardList);
        if (m_core.HostListsCard(header.card, m_cardList)) {
            m_core.StartCardMode(header.card);
        }
        m_refreshPending = true;
    } else if (m_parser.ParseParameterList(payload, m_paramList)) {
        m_core.ApplyCardParameters(std::move(m_paramList), header.card);
        m_paramList.clear();
    } else if (m_parser.ParseDataText(payload)) {
        HandleTraffic(header.card);
    }
    if (m_hooks.messagesHandled != nullptr) {
        m_hooks.messagesHandled->fetch_add(1, std::memory_order_release);
    }
}

void CDispatcher::HandleTraffic(int32_t card) {
    int32_t mode = 0;
    int32_t service = 0;
    int32_t event = EV_NONE;
    int32_t mesId = 0;
    while (m_parser.NextTrafficRecord(mode, service, event, mesId)) {
        if (event == EV_START) {
            // The record's mode is not passed on. A refused start asks for no
            // redraw of its own, but keeps one that an earlier record asked for.
            const bool accepted = m_core.StartSession(card, mesId, service);
            m_refreshPending = m_refreshPending || accepted;
            if (!accepted) {
                m_core.RejectSession(card);
            }
        } else if (event == EV_END) {
            m_core.EndSession(card);
            m_refreshPending = true;
        }
    }
}
