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
    // The copy is made before the item: GCC 12 at -O3 takes the item's
    // clean-up, should the copy throw, for a read of an uninitialised string.
    auto copy = std::make_shared<const StationInfo>(info);
    Push(Item{Item::Kind::Started, {}, std::move(copy)}, false);
}

void CAsyncObserver::OnEvent(const StationEvent& event) {
    if (m_options.filter && !m_options.filter(event)) {
        return;
    }
    Push(Item{Item::Kind::Event, event, nullptr}, true);
}

void CAsyncObserver::OnPass(const StationPass& pass) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pass = pass;
    }
    m_wake.notify_one();
}

void CAsyncObserver::OnRunStopped() {
    Push(Item{Item::Kind::Stopped, {}, nullptr}, false);
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
        std::optional<Item> item;
        std::optional<StationPass> pass;
        if (!m_items.empty()) {
            item = std::move(m_items.front());
            m_items.pop_front();
        } else {
            pass = std::exchange(m_pass, std::nullopt);
        }
        m_busy = true;
        lock.unlock();
        if (item) {
            switch (item->kind) {
                case Item::Kind::Started:
                    m_inner->OnRunStarted(*item->info);
                    break;
                case Item::Kind::Event:
                    m_inner->OnEvent(item->event);
                    break;
                case Item::Kind::Stopped:
                    m_inner->OnRunStopped();
                    break;
            }
        } else {
            m_inner->OnPass(*pass);
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
