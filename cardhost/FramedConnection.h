// One connection accepted by a card host: frames in, frames out, keep-alives,
// and freezing. The host's server (HostServer.h) makes one per accepted
// socket and hears of it through CConnectionOwner; the cards send through it.
//
//     socket readable --Await(Read)--> read what is there --> CFrameReader
//                                          --> owner.OnFrame(text), or
//                                              owner.OnTooLong, then Close
//     Send / Queue --> out queue --Await(Write)--> write what the socket takes
//                                          --> owner.OnFloodFramesWritten
//     keep-alive timer: a keep-alive frame after CARD_HOST_KEEPALIVE of nothing queued
//     Freeze: cancels every wait (the socket stays open); Thaw: waits again
//     Close (once): socket and timer closed, buffers freed --> owner.OnClosed
//
// The socket is non-blocking and driven by readiness waits, reading and
// writing what it takes at that moment: a cancelled wait loses nothing, so
// Freeze can stop both directions at any time and Thaw go on from there.
//
// Kept alive by the owner's set while open, and by its pending handlers until
// they have run. Everything runs on the host's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cardhost/Asio.h"
#include "wire/Frame.h"

// One read takes at most this much; the bytes go on into the frames at once,
// so one buffer serves every connection.
constexpr std::size_t READ_CHUNK_BYTES = 65536;

class CFramedConnection;

// What a connection tells the one who accepted it. Called on the host's thread,
// from inside the connection's own operations.
class CConnectionOwner {
public:
    virtual ~CConnectionOwner() = default;
    // A frame's text arrived (keep-alives are skipped).
    virtual void OnFrame(CFramedConnection& connection, const std::string& text) = 0;
    // A header announced `length` bytes, beyond the limit; the connection closes next.
    virtual void OnTooLong(CFramedConnection& connection, uint32_t length) = 0;
    // A frame would take what waits beyond MAX_WAITING_BYTES; the connection closes next.
    virtual void OnOverflow(CFramedConnection& connection) = 0;
    // `count` frames queued as flood frames were written whole.
    virtual void OnFloodFramesWritten(CFramedConnection& connection, uint32_t count) = 0;
    // The connection has closed; it says nothing more.
    virtual void OnClosed(CFramedConnection& connection) = 0;
};

class CFramedConnection : public std::enable_shared_from_this<CFramedConnection> {
public:
    // `socket` is connected and non-blocking; `readBuffer` is shared by the
    // owner's connections, and it and the owner outlive this one's handlers.
    CFramedConnection(asio::ip::tcp::socket socket, std::string peer, CConnectionOwner& owner,
                      std::span<char> readBuffer);
    CFramedConnection(const CFramedConnection&) = delete;
    CFramedConnection& operator=(const CFramedConnection&) = delete;

    // Starts reading and the keep-alives.
    void Start();
    // Closes now; idempotent.
    void Close();

    // Queues the text as one frame and writes it when the socket takes it.
    void Send(std::string_view text);
    // Queues a ready frame, to be written with the next Flush; false, with
    // the connection closed, when it would take what waits beyond MAX_WAITING_BYTES.
    bool Queue(std::string frame, bool flood);
    void Flush();

    // False when nothing changed (closed, or already in that state).
    bool Freeze();
    bool Thaw();

    bool IsOpen() const { return m_open; }
    const std::string& Peer() const { return m_peer; }
    std::size_t WaitingBytes() const { return m_outBytes; }
    // The most that ever waited here.
    std::size_t PeakWaitingBytes() const { return m_peakWaitingBytes; }
    std::size_t ReceiveBufferBytes() const { return m_reader.BufferBytes(); }

private:
    using Clock = std::chrono::steady_clock;
    enum class Direction { Read, Write };

    struct OutFrame {
        std::string bytes;
        bool flood = false;
    };

    // Waits for the socket to be ready for `direction`, unless a wait is
    // pending, the connection is frozen or closed, or there is nothing to write.
    void Await(Direction direction);
    void OnReady(Direction direction, const asio::error_code& ec);
    void ReadAvailable();
    void Consume(std::string_view bytes);
    void WriteAvailable();
    // Drops the bytes written from the head of the queue; returns the flood
    // frames finished.
    uint32_t Written(std::size_t written);
    void ArmKeepAlive();

    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_keepAliveTimer;
    const std::string m_peer;
    CConnectionOwner& m_owner;
    const std::span<char> m_readBuffer;

    CFrameReader m_reader;

    std::deque<OutFrame> m_out;
    std::size_t m_outBytes = 0;
    std::size_t m_peakWaitingBytes = 0;
    std::size_t m_frontWritten = 0;  // bytes of the first frame already written
    Clock::time_point m_lastQueued;  // for the keep-alives
    std::vector<asio::const_buffer> m_writeBuffers;

    bool m_readWaiting = false;   // a read wait is pending
    bool m_writeWaiting = false;  // a write wait is pending, or the writer runs
    bool m_frozen = false;
    bool m_open = true;
};
