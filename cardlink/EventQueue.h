// The event queue: a circular byte buffer that carries EventRecords from the
// library's threads (card messages, link changes) and from the user-interface
// thread (the stop request) to the dispatch thread, its only reader.
//
//   library threads ──Write(record)──┐
//   UI thread ───────Write(EVT_QUIT)─┤──> [ ring of `capacity` bytes ] ──Read──> dispatch thread
//
// A writer passes a whole record to one Write, so records never interleave.
// The reader polls every 50 ms; it takes a header, then the payload behind it.
//
// Full queue: the ring never overwrites unread bytes and never holds more than
// capacity - 1 of them (capacity unread bytes would read as empty). While the
// reader is alive, a writer waits for room, so no card event is lost under
// load. Once the reader has gone for good (CloseReader), a record that does not
// fit is dropped at once and Write returns false, so shutdown never hangs.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>

constexpr int32_t EVENT_QUEUE_CAPACITY = 80000;
constexpr int32_t QUEUE_POLL_MS = 50;

template <typename T>
class CCircularBuffer {
public:
    explicit CCircularBuffer(int32_t capacity = EVENT_QUEUE_CAPACITY)
        : m_buffer(std::make_unique<T[]>(static_cast<size_t>(capacity))), m_capacity(capacity) {}
    virtual ~CCircularBuffer() = default;

    CCircularBuffer(const CCircularBuffer&) = delete;
    CCircularBuffer& operator=(const CCircularBuffer&) = delete;

    // Appends `count` elements as one unit. True when they were queued; false
    // when they were dropped: more than the ring can ever hold, or no room
    // after the reader has gone. A count of 0 or less queues nothing and is true.
    bool Write(const T* data, int32_t count) {
        if (count <= 0) {
            return true;
        }
        if (count > m_capacity - 1) {
            return false;
        }
        for (;;) {
            m_lock.acquire();
            if (count <= m_capacity - 1 - UnreadLocked()) {
                CopyIn(data, count);
                m_lock.release();
                return true;
            }
            m_lock.release();
            if (m_readerGone.load(std::memory_order_acquire)) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Takes exactly `count` elements into `out`. Polls every 50 ms until they
    // are there; false, with nothing removed, once more than `timeoutMs` has
    // been waited. A count below 1 is true at once; a negative time limit is
    // false at once. Single reader only: the count and the copy are two holds
    // of the lock, sound because only writers run in between.
    bool Read(T* out, int32_t count, int32_t timeoutMs) {
        if (count < 1) {
            return true;
        }
        if (timeoutMs < 0) {
            return false;
        }
        int64_t waited = 0;  // 64-bit: no overflow whatever the time limit
        for (;;) {
            m_lock.acquire();
            const int32_t unread = UnreadLocked();
            m_lock.release();
            if (unread >= count) {
                m_lock.acquire();
                CopyOut(out, count);
                m_lock.release();
                return true;
            }
            waited += QUEUE_POLL_MS;
            std::this_thread::sleep_for(std::chrono::milliseconds(QUEUE_POLL_MS));
            if (waited > timeoutMs) {
                return false;
            }
        }
    }

    // The reader has taken the stop record and reads no more: from now on a
    // record that does not fit is dropped instead of waited for.
    void CloseReader() { m_readerGone.store(true, std::memory_order_release); }

    int32_t Unread() const {
        m_lock.acquire();
        const int32_t unread = UnreadLocked();
        m_lock.release();
        return unread;
    }

    int32_t Capacity() const { return m_capacity; }

private:
    int32_t UnreadLocked() const {
        int32_t unread = m_writeIndex - m_readIndex;
        if (unread < 0) {
            unread += m_capacity;
        }
        return unread;
    }

    void CopyIn(const T* data, int32_t count) {
        const int32_t first = std::min(count, m_capacity - m_writeIndex);
        std::copy(data, data + first, m_buffer.get() + m_writeIndex);
        std::copy(data + first, data + count, m_buffer.get());
        m_writeIndex = (m_writeIndex + count) % m_capacity;
    }

    void CopyOut(T* out, int32_t count) {
        const int32_t first = std::min(count, m_capacity - m_readIndex);
        std::copy(m_buffer.get() + m_readIndex, m_buffer.get() + m_readIndex + first, out);
        std::copy(m_buffer.get(), m_buffer.get() + (count - first), out + first);
        m_readIndex = (m_readIndex + count) % m_capacity;
    }

    mutable std::binary_semaphore m_lock{1};
    std::unique_ptr<T[]> m_buffer;
    int32_t m_writeIndex = 0;
    int32_t m_readIndex = 0;
    const int32_t m_capacity;
    std::atomic<bool> m_readerGone{false};
};
