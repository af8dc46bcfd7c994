// A bare client of the card library: one link per card, attached to its card
// by the Connect command, whose sink does nothing but count. It receives what
// the station receives, without the sinks' records, the queue, the parser and
// the core, so it measures what the transport alone can carry.
//
// Threads: the calls on the measuring thread; the sinks on the library's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CBareClient {
public:
    struct Target {
        std::string address;
        uint16_t port;
        uint32_t serial;
    };

    explicit CBareClient(std::vector<Target> targets);
    // Releases every link; no callback runs afterwards.
    ~CBareClient();

    CBareClient(const CBareClient&) = delete;
    CBareClient& operator=(const CBareClient&) = delete;

    // Connects every link and, once it is up, sends its card's Connect command.
    // False when a link did not come up in time.
    bool Connect(std::chrono::milliseconds timeout);
    // Messages received on all links.
    uint64_t Received() const { return m_received.load(std::memory_order_acquire); }

private:
    class CCountingSink;
    struct Link;

    std::vector<Target> m_targets;
    std::vector<std::unique_ptr<Link>> m_links;
    std::atomic<uint64_t> m_received{0};
};
