// The asynchronous observer's queue and worker: the oldest event dropped when full, passes
// coalesced, Flush when the queue empties and every flushEvery calls. AsyncObserver.h draws it.
#include "core/AsyncObserver.h"

#include <utility>

CAsyncObserver::CAsyncObserver(std::unique_ptr<CStationObserver> inner, Options options)
    : m_inner(std::move(inner)), m_options(std::move(options)) {
    m_worker = std::thread([this] { Run(); });
}

CAsyncObserver::~CAsyncObserver() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_worker.join();
}

void CAsyncObserver::OnRunStarted(const StationInfo& info) {
    Item item;
    item.kind = Item::Kind::Started;
    item.info = std::make_shared<const StationInfo>(info);
    Push(std::move(item), false);
}

void CAsyncObserver::OnEvent(const StationEvent& event) {
    if (m_options.filter && !m_options.filter(event)) {
        return;
    }
    Item item;
    item.event = event;
    Push(std::move(item), true);
}

void CAsyncObserver::OnPass(const StationPass& pass) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pass = pass;
    }
    m_wake.notify_one();
}

void CAsyncObserver::OnRunStopped() {
    Item item;
    item.kind = Item::Kind::Stopped;
    Push(std::move(item), false);
}

void CAsyncObserver::Push(Item item, bool droppable) {
    bool tell = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (droppable && m_items.size() >= m_options.capacity) {
            // The oldest droppable event makes room; start and stop stay.
            for (auto it = m_items.begin(); it != m_items.end(); ++it) {
                if (it->kind == Item::Kind::Event) {
                    m_items.erase(it);
                    break;
                }
            }
            ++m_dropped;
            tell = !std::exchange(m_overflowTold, true);
        }
        m_items.push_back(std::move(item));
    }
    m_wake.notify_one();
    if (tell && m_options.onOverflow) {
        m_options.onOverflow();
    }
}

void CAsyncObserver::Drain() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_idle.wait(lock, [this] { return m_items.empty() && !m_pass && !m_busy; });
}

uint64_t CAsyncObserver::Dropped() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dropped;
}

void CAsyncObserver::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_items.empty() || m_pass; });
        if (m_items.empty() && !m_pass) {
            m_idle.notify_all();
            return;  // stopping, and everything is delivered (and flushed)
        }
        Item item;
        StationPass pass;
        const bool isItem = !m_items.empty();
        if (isItem) {
            item = std::move(m_items.front());
            m_items.pop_front();
        } else {
            pass = std::move(*m_pass);
            m_pass.reset();
        }
        m_busy = true;
        lock.unlock();
        if (!isItem) {
            m_inner->OnPass(pass);
        } else if (item.kind == Item::Kind::Started) {
            m_inner->OnRunStarted(*item.info);
        } else if (item.kind == Item::Kind::Event) {
            m_inner->OnEvent(item.event);
        } else {
            m_inner->OnRunStopped();
        }
        ++m_unflushed;
        lock.lock();
        if (m_unflushed >= m_options.flushEvery || (m_items.empty() && !m_pass)) {
            lock.unlock();
            m_inner->Flush();
            m_unflushed = 0;
            lock.lock();
        }
        m_busy = false;
        if (m_items.empty() && !m_pass) {
            m_idle.notify_all();
        }
    }
}
