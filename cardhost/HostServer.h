// The running part of a card host: its thread, the listener, the open
// connections and the cards, and the way in for the other threads.
//
//     caller's thread            host's thread (io.run)
//     Start: listen ----------> accept --> CFramedConnection (FramedConnection.h)
//                                            greeted with the cards information
//                                 OnFrame: "recv ..", the command read
//                                   Connect    --> the card (HostCard.h) attached
//                                   the others --> the connection's card
//     Call(task) --post, wait--> task runs (the script operations, CardHost.cpp)
//     WaitFor    <--notified---- a card attached, detached, or in a mode
//     Stop ------post, join----> listener and connections closed, timers cancelled
//
// Bounds: at most MAX_HOST_CONNECTIONS connections (further ones are closed
// at once, without a greeting).
//
// Members are used on the host's thread only, unless said otherwise.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cardhost/Asio.h"
#include "cardhost/CardHost.h"
#include "cardhost/FramedConnection.h"
#include "cardhost/HostCard.h"

class CHostServer final : public CConnectionOwner, public CCardOwner {
public:
    using ConnectionPtr = std::shared_ptr<CFramedConnection>;

    CHostServer(CardHostOptions options, CCardHost::OutputFn output);
    // Stops the host if it still runs.
    ~CHostServer() override;
    CHostServer(const CHostServer&) = delete;
    CHostServer& operator=(const CHostServer&) = delete;

    // Caller's thread, as CCardHost::Start and CCardHost::Stop.
    bool Start(std::string& error, uint16_t& port);
    void Stop();

    // Runs `task(error)` on the host's thread and waits for its result.
    // Any thread but the host's.
    template <typename Task>
    bool Call(std::string& error, Task task);
    // Runs `change` on the card's connection, or on every connection open now
    // without a serial. Any thread but the host's.
    template <typename Change>
    bool ForConnections(std::optional<uint32_t> serial, std::string& error, Change change);
    // True once the card is attached (with `inMode`, also with a mode
    // keyword for its code); false when the time runs out or the host stops
    // first. Any thread.
    bool WaitFor(uint32_t serial, bool inMode, std::chrono::milliseconds timeout);

    // Any thread: the vector of cards is constant.
    CHostCard* FindCard(uint32_t serial) const;
    // The card, when the host carries it and it is attached; else `error` says why.
    CHostCard* AttachedCard(uint32_t serial, std::string& error) const;
    CardHostUsage Usage() const;
    // The card's serial, or "-" for a connection without a card.
    std::string Label(const CFramedConnection& connection) const;

    void Emit(const std::string& line) override;

private:
    void OnFrame(CFramedConnection& connection, const std::string& text) override;
    void OnTooLong(CFramedConnection& connection, uint32_t length) override;
    void OnOverflow(CFramedConnection& connection) override;
    void OnFloodFramesWritten(CFramedConnection& connection, uint32_t count) override;
    void OnClosed(CFramedConnection& connection) override;
    void OnCardChanged(const CHostCard& card) override;

    void Shutdown();
    void Accept();
    void OnAccepted(asio::ip::tcp::socket socket);
    CHostCard* CardOf(const CFramedConnection& connection) const;
    void Attach(CFramedConnection& connection, CHostCard& card);

    const CardHostOptions m_options;
    const CCardHost::OutputFn m_output;
    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_acceptRetry;
    std::vector<std::unique_ptr<CHostCard>> m_cards;  // the vector is constant
    std::set<ConnectionPtr> m_connections;
    std::array<char, READ_CHUNK_BYTES> m_readBuffer{};
    std::size_t m_closedPeakWaitingBytes = 0;  // of the connections closed so far
    std::thread m_thread;

    // Guards m_running and the posting of work: nothing is posted after Stop
    // has posted the shutdown, so everything posted runs before the thread ends.
    std::mutex m_postLock;
    bool m_running = false;
    bool m_started = false;

    // The serials of the attached cards, and of those of them in a mode, for
    // WaitFor on other threads.
    mutable std::mutex m_attachLock;
    std::condition_variable m_attachChanged;
    std::set<uint32_t> m_attached;
    std::set<uint32_t> m_inMode;
    bool m_halted = false;
};

template <typename Task>
bool CHostServer::Call(std::string& error, Task task) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    bool ok = false;
    {
        std::lock_guard lock(m_postLock);
        if (!m_running) {
            error = "the host is not running";
            return false;
        }
        asio::post(m_io, [&] {
            ok = task(error);
            done.set_value();
        });
    }
    finished.wait();
    return ok;
}

template <typename Change>
bool CHostServer::ForConnections(std::optional<uint32_t> serial, std::string& error,
                                 Change change) {
    return Call(error, [&](std::string& failure) {
        if (serial) {
            CHostCard* card = AttachedCard(*serial, failure);
            if (!card) {
                return false;
            }
            const ConnectionPtr connection = card->Connection();
            change(*connection);
            return true;
        }
        const std::set<ConnectionPtr> open = m_connections;
        for (const ConnectionPtr& connection : open) {
            change(*connection);
        }
        return true;
    });
}
