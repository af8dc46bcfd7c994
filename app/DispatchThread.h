// The dispatch thread: carries every card event from the event queue into the
// core, one record at a time, in queue order, and runs the core's Tick after
// each record and each empty poll. It knows no GUI toolkit: it asks the user
// interface to redraw through `refresh`, a request with no data, at most once
// per pass. It ends when it takes the stop record (COrvane::PostQuit).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class COrvane;

using RefreshRequest = std::function<void()>;

struct DispatchParams {
    COrvane* core = nullptr;  // not owned; must outlive the thread
    RefreshRequest refresh;   // called on the dispatch thread; must not block for long
    // Optional, not owned, must outlive the thread: counts every card message
    // whose handling has ended (parsed and passed to the core, or ignored as
    // no known kind). Lets a measurement tell how many messages the core has seen.
    std::atomic<uint64_t>* messagesHandled = nullptr;
};

// The thread's body. Takes ownership of `params`. Returns 0.
unsigned DispatchThread(std::unique_ptr<DispatchParams> params);
