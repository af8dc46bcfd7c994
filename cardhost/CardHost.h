// A host computer carrying up to eight decoder cards, as the station sees it
// over TCP: it listens, greets every connection with its cards information,
// answers the station's commands as a card would, and sends traffic, generated
// at random or ordered through the script operations.
//
//     station connection --Connect serial--> card (one connection per card;
//                                            a later Connect takes the card over)
//     card --traffic text--> its connection, while attached and in a mode
//
// Every connection gets a keep-alive frame after CARD_HOST_KEEPALIVE of
// sending nothing, so that the station, which ends links it hears nothing on,
// keeps idle cards. A frozen connection (Freeze) neither reads nor writes, as
// a host that hangs; its socket stays open.
//
// Bounds, so that no client can make the host grow without limit: at most
// MAX_HOST_CONNECTIONS connections (further ones are closed at once), at most
// MAX_WAITING_BYTES of frames waiting to be sent per connection (past it the
// connection is closed), and a frame's receive buffer grows with the bytes
// that arrive, never ahead of them up to the length its header announces.
//
// Threads: Start runs the host on a thread of its own; every socket, timer and
// card is touched there only. The public operations may be called from any
// other thread (never from the output callback); they return once the host's
// thread has done the work.
//
// The parts: HostServer.h (the thread, the listener, the routing of commands),
// FramedConnection.h (one connection), HostCard.h (one card) and
// TrafficGenerator.h (a card's generated sessions).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cardhost/CardProtocol.h"

constexpr std::size_t MAX_HOST_CARDS = 8;
constexpr std::size_t MAX_HOST_CONNECTIONS = 64;
constexpr std::size_t MAX_WAITING_BYTES = 8 * 1048576;
constexpr std::chrono::milliseconds CARD_HOST_KEEPALIVE{5000};
constexpr uint32_t DEFAULT_MES_ID_FIRST = 10000000;
constexpr uint32_t DEFAULT_MES_ID_LAST = 10000999;

struct CardHostOptions {
    std::string address = "127.0.0.1";  // an IP address
    uint16_t port = PORT_CORAX;         // 0: any free port
    std::vector<uint32_t> serials;      // the cards, numbered 1.. in this order
    double trafficPerMinute = 0;        // generated sessions per card and minute; 0: none
    uint32_t mesIdFirst = DEFAULT_MES_ID_FIRST;
    uint32_t mesIdLast = DEFAULT_MES_ID_LAST;
    std::optional<uint64_t> seed;  // none: a different run every time
    uint32_t flood = 0;            // traffic texts each card floods on attach; 0: none
};

// A card as the host holds it, for inspection.
struct CardHostCardStatus {
    bool attached = false;
    std::string code;
    std::string als;
    std::string modulation;
    std::string input;
    bool inSession = false;
    uint32_t mesId = 0;
};

// What the host holds for its connections, from its own accounting.
struct CardHostUsage {
    std::size_t connections = 0;
    std::size_t waitingBytes = 0;      // frames waiting to be sent, every connection, now
    std::size_t peakWaitingBytes = 0;  // the most one connection ever had waiting
    std::size_t receiveBytes = 0;      // buffers of partly received frames, every connection, now
};

class CHostServer;

class CCardHost {
public:
    // Receives every event line ("listening ...", "recv ...", "error ...").
    // Called on the host's thread, and on the caller's thread during Start.
    using OutputFn = std::function<void(const std::string& line)>;

    CCardHost(CardHostOptions options, OutputFn output);
    // Stops the host if it still runs.
    ~CCardHost();

    CCardHost(const CCardHost&) = delete;
    CCardHost& operator=(const CCardHost&) = delete;

    // Binds and listens, writes "listening ADDR:PORT" and starts the host's
    // thread. False with `error` set when the address cannot be used; the host
    // then stays stopped. Called once.
    bool Start(std::string& error);
    // Closes the listener and every connection (each writes its "closed" line),
    // ends the generated traffic and joins the host's thread. Idempotent.
    void Stop();

    // The port listened on, known once Start has succeeded.
    uint16_t Port() const { return m_port; }

    // Script operations. Each returns false with `error` set when it cannot be
    // done: the host does not carry the card, the card is not attached, or the
    // host has stopped.
    //
    // A session start record; the card's session is this one from now on
    // (a session running on the card is replaced without an end record).
    bool StartSession(uint32_t serial, uint32_t mesId, const std::string& serviceCode,
                      std::string& error);
    // The end record of the card's session; false when no session runs.
    bool EndSession(uint32_t serial, std::string& error);
    // A "ccs", "ann" or "ass" record, with the service of the running session
    // (of the last one, or "TEL " before any, when none runs).
    bool SendEvent(uint32_t serial, const std::string& event, std::string& error);
    bool SendParameters(uint32_t serial, const std::vector<CardParameter>& parameters,
                        std::string& error);
    // The text as one message, verbatim; an empty text makes a keep-alive frame.
    bool SendText(uint32_t serial, const std::string& text, std::string& error);
    // Closes the card's connection; without a serial, every connection.
    bool Drop(std::optional<uint32_t> serial, std::string& error);
    // Stops reading and writing on the card's connection (without a serial:
    // on every connection open now), keeping it open; writes "frozen LABEL"
    // for each one that was not frozen. What the host sends meanwhile waits,
    // within MAX_WAITING_BYTES. Thaw resumes, writing "thawed LABEL".
    bool Freeze(std::optional<uint32_t> serial, std::string& error);
    bool Thaw(std::optional<uint32_t> serial, std::string& error);
    // Sends `count` "ccs" traffic texts as fast as the connection takes them,
    // then writes "flood-done SERIAL COUNT".
    bool Flood(uint32_t serial, uint32_t count, std::string& error);

    bool CarriesCard(uint32_t serial) const;
    // True as soon as the card is attached to a connection, false when the
    // time runs out first or the host stops.
    bool WaitAttached(uint32_t serial, std::chrono::milliseconds timeout);
    // The same, until the card is attached and its code is a mode keyword. A
    // script that waits for this before it starts a session is not overtaken
    // by the station's mode setup, which drops a running session.
    bool WaitMode(uint32_t serial, std::chrono::milliseconds timeout);
    bool GetCardStatus(uint32_t serial, CardHostCardStatus& status, std::string& error);
    bool GetUsage(CardHostUsage& usage, std::string& error);

private:
    std::unique_ptr<CHostServer> m_server;
    uint16_t m_port = 0;
};
