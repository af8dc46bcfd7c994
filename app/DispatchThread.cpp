// One pass of the dispatch thread:
//
//   refresh requested? -> ask the user interface to redraw (once)
//   read a header (wait up to 1 s, or until the core's next timer is due)
//     EVT_QUIT          -> close the reader side of the queue, end
//     EVT_CARD_STATUS   -> status of the card; link up also connects the host's other cards
//     EVT_CARD_MESSAGE  -> read the payload; cards information, else parameter
//                          list, else traffic text
//     anything else     -> nothing
//   Tick, then the observers hear of the pass
//
// All card-driven state changes happen here, one record at a time, in queue order.
#include "app/DispatchThread.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cardlink/EventRecord.h"
#include "core/Monitor.h"
#include "parser/SATXML.h"
#include "resources/OrvaneTypes.h"

namespace {

constexpr int32_t HEADER_WAIT_MS = 1000;
constexpr int32_t PAYLOAD_WAIT_MS = 0;

class CDispatcher {
public:
    CDispatcher(COrvane* core, std::atomic<uint64_t>* messagesHandled)
        : m_core(core), m_queue(*core->m_queue), m_messagesHandled(messagesHandled) {}

    // Handles one record; false when it was the stop record.
    bool Handle(const EventRecord& header);
    // True, once, when the records handled since the last call changed what the table shows.
    bool TakeRefreshRequest() { return std::exchange(m_refreshPending, false); }

private:
    bool IsCard(int32_t card) const { return card >= 1 && card <= m_core->GetCardCount(); }
    void HandleStatus(const EventRecord& header);
    void HandleMessage(const EventRecord& header);
    void HandleTraffic(int32_t card);

    COrvane* m_core;
    CCircularBuffer<char>& m_queue;
    std::atomic<uint64_t>* m_messagesHandled;  // may be null
    // Every serial number of every Cards information message seen, from all
    // hosts, in arrival order; never cleared.
    std::vector<int32_t> m_cardList;
    std::vector<ParameterEntry> m_paramList;
    bool m_refreshPending = true;  // the table is filled once right after start
};

bool CDispatcher::Handle(const EventRecord& header) {
    switch (header.type) {
        case EVT_QUIT:
            // Records behind the stop record stay unread, and nothing reads from
            // now on: writers must not wait for room any more. Mode setups
            // under way end here too.
            m_queue.CloseReader();
            m_core->CancelWaitingCommands();
            return false;
        case EVT_CARD_STATUS:
            HandleStatus(header);
            return true;
        case EVT_CARD_MESSAGE:
            HandleMessage(header);
            return true;
        default:
            return true;  // unknown type: no payload is read
    }
}

void CDispatcher::HandleStatus(const EventRecord& header) {
    if (!IsCard(header.card)) {
        return;
    }
    const int32_t status = header.status;
    // Host Connected is recorded before the host's other cards are connected.
    m_core->SetCardStatus(header.card, status, 0, SERVICE_NONE);
    m_refreshPending = true;
    if (status == STATUS_HOST_CONNECTED) {
        m_core->ConnectHostCards(header.card);
    }
}

void CDispatcher::HandleMessage(const EventRecord& header) {
    const int32_t length = header.length;
    if (length < EVENT_HEADER_SIZE) {
        return;  // a damaged header: its payload length means nothing, so none is read
    }
    // At most MAX_EVENT_PAYLOAD bytes, since length is 16-bit; the string adds the NUL.
    std::string payload(static_cast<size_t>(length - EVENT_HEADER_SIZE), '\0');
    if (!m_queue.Read(payload.data(), static_cast<int32_t>(payload.size()), PAYLOAD_WAIT_MS)) {
        return;
    }
    if (!IsCard(header.card)) {
        return;
    }
    m_core->CountMessage(header.card);
    payload.resize(std::strlen(payload.c_str()));  // the text ends at its first NUL

    CSATXML& parser = m_core->m_parser;
    if (parser.ParseCardsInformation(payload, m_cardList)) {
        // The Connect command goes out before the mode setup.
        m_core->OnCardList(header.card, m_cardList);
        if (m_core->HostListsCard(header.card, m_cardList)) {
            m_core->StartCardMode(header.card);
        }
        m_refreshPending = true;
    } else if (parser.ParseParameterList(payload, m_paramList)) {
        m_core->ApplyCardParameters(std::move(m_paramList), header.card);
        m_paramList.clear();
    } else if (parser.ParseDataText(payload)) {
        HandleTraffic(header.card);
    }
    if (m_messagesHandled != nullptr) {
        m_messagesHandled->fetch_add(1, std::memory_order_release);
    }
}

void CDispatcher::HandleTraffic(int32_t card) {
    CSATXML& parser = m_core->m_parser;
    int32_t mode = 0;
    int32_t service = 0;
    int32_t event = EV_NONE;
    int32_t mesId = 0;
    while (parser.NextTrafficRecord(mode, service, event, mesId)) {
        if (event == EV_START) {
            // The record's mode is not passed on. A refused start asks for no
            // redraw of its own, but keeps one that an earlier record asked for.
            const bool accepted = m_core->StartSession(card, mesId, service);
            m_refreshPending = m_refreshPending || accepted;
            if (!accepted) {
                m_core->RejectSession(card);
            }
        } else if (event == EV_END) {
            m_core->EndSession(card);
            m_refreshPending = true;
        }
    }
}

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

unsigned DispatchThread(std::unique_ptr<DispatchParams> params) {
    COrvane* core = params->core;
    const RefreshRequest refresh = std::move(params->refresh);
    std::atomic<uint64_t>* const messagesHandled = params->messagesHandled;
    params.reset();

    CDispatcher dispatcher(core, messagesHandled);
    CCircularBuffer<char>& queue = *core->m_queue;
    core->BeginRun();
    for (;;) {
        if (dispatcher.TakeRefreshRequest() && refresh) {
            refresh();
        }
        char bytes[EVENT_HEADER_SIZE];
        if (ReadHeader(queue, bytes, core->MillisecondsToNextTimer())) {
            EventRecord header;
            std::memcpy(&header, bytes, sizeof header);
            if (!dispatcher.Handle(header)) {
                break;  // no Tick after the stop record
            }
        }
        core->Tick();
        core->EndPass();
    }
    return 0;
}
