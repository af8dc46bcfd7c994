// The dispatch thread's body: carries every card event from the event queue
// into the core, one record at a time, in queue order, and runs the core's
// Tick after each record and each empty poll. It knows no GUI toolkit: it asks
// the front end to redraw through `refresh`, a request with no data, at most
// once per pass. It ends when it takes the stop record (COrvane::PostQuit).
//
// Only a run (core/StationRun.h) starts this thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardlink/EventQueue.h"
#include "cardlink/EventRecord.h"
#include "parser/SATXML.h"
#include "resources/OrvaneTypes.h"

class COrvane;

using RefreshRequest = std::function<void()>;

// What the thread does besides the core's work; all optional.
struct DispatchHooks {
    RefreshRequest refresh;  // called on the dispatch thread; must not block for long
    // Not owned, must outlive the thread: counts every card message whose
    // handling has ended (parsed and passed to the core, or ignored as no
    // known kind). Lets a measurement tell how many messages the core has seen.
    std::atomic<uint64_t>* messagesHandled = nullptr;
    // Once the run began (BeginRun), before the first refresh.
    std::function<void()> begun;
};

class CDispatcher {
public:
    CDispatcher(COrvane& core, DispatchHooks hooks);

    // The thread's loop, from the run's beginning to the stop record.
    void Run();

private:
    // Handles one record; false when it was the stop record.
    bool Handle(const EventRecord& header);
    // Reads a message's payload; false when it could not be read.
    bool ReadPayload(const EventRecord& header, std::string& payload);
    bool IsCard(int32_t card) const;
    void HandleStatus(const EventRecord& header);
    void HandleMessage(const EventRecord& header, std::string payload);
    void HandleTraffic(int32_t card);

    COrvane& m_core;
    CCircularBuffer<char>& m_queue;
    CSATXML& m_parser;
    DispatchHooks m_hooks;
    // Every serial number of every Cards information message seen, from all
    // hosts, in arrival order; never cleared.
    std::vector<int32_t> m_cardList;
    std::vector<ParameterEntry> m_paramList;
    bool m_refreshPending = true;  // the table is filled once right after start
};
