// An observer that does its work on a thread of its own: the dispatch thread
// only copies the value into a bounded queue and returns.
//
//   dispatch thread ──OnEvent──> [ events, at most `capacity` ] ──┐
//                   ──OnPass───> [ the latest pass only ] ────────┤──> worker ──> inner observer
//
// Overflow: when the queue is full the oldest event is dropped and counted,
// and `onOverflow` is told once per run (from the dispatch thread), so a slow
// disk or network costs events, never the cards' time. The run's start and
// stop are never dropped. Passes are not queued: the worker hands the inner
// observer the latest one when it comes round, so passes coalesce.
//
// The inner observer is called on the worker thread only, one call at a time,
// in the order the calls came in (a pass may be overtaken by later events).
// Its Flush follows every run of calls that emptied the queue, and every
// `flushEvery` calls while the queue never empties, so a writer can batch.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "core/StationObserver.h"

class CAsyncObserver final : public CStationObserver {
public:
    struct Options {
        size_t capacity = 10000;
        size_t flushEvery = 1000;
        // Which events the inner observer wants; all when empty. Called on
        // the dispatch thread, so it must be cheap.
        std::function<bool(const StationEvent&)> filter;
        // Told once, on the calling thread, when the first event is dropped.
        std::function<void()> onOverflow;
    };

    CAsyncObserver(std::unique_ptr<CStationObserver> inner, Options options);
    // Delivers everything still queued, then ends the worker.
    ~CAsyncObserver() override;

    CAsyncObserver(const CAsyncObserver&) = delete;
    CAsyncObserver& operator=(const CAsyncObserver&) = delete;

    void OnRunStarted(const StationInfo& info) override;
    void OnEvent(const StationEvent& event) override;
    void OnPass(const StationPass& pass) override;
    void OnRunStopped() override;

    // Waits until everything handed in so far has been delivered.
    void Drain();
    uint64_t Dropped() const;
    CStationObserver& Inner() { return *m_inner; }

private:
    struct Item {
        enum class Kind { Started, Event, Stopped } kind = Kind::Event;
        StationEvent event;
        std::shared_ptr<const StationInfo> info;
    };
    void Push(Item item, bool droppable);
    void Run();

    const std::unique_ptr<CStationObserver> m_inner;
    const Options m_options;

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Item> m_items;
    std::optional<StationPass> m_pass;
    bool m_busy = false;
    size_t m_unflushed = 0;  // worker only
    bool m_stop = false;
    uint64_t m_dropped = 0;
    bool m_overflowTold = false;
    std::thread m_worker;
};
