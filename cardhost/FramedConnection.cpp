// A card host's connection: readiness waits in both directions, frames cut out
// of what is read, the queue of frames to write, keep-alives and freezing.
// FramedConnection.h draws it.
#include "cardhost/FramedConnection.h"

#include <algorithm>
#include <utility>

#include "cardhost/CardHost.h"

namespace {

using asio::ip::tcp;

// Frames handed to the socket in one write, and writes in one turn of a connection.
constexpr std::size_t WRITE_BATCH_FRAMES = 256;
constexpr std::size_t WRITE_BATCHES_PER_TURN = 8;

}  // namespace

CFramedConnection::CFramedConnection(tcp::socket socket, std::string peer, CConnectionOwner& owner,
                                     std::span<char> readBuffer)
    : m_socket(std::move(socket)),
      m_keepAliveTimer(m_socket.get_executor()),
      m_peer(std::move(peer)),
      m_owner(owner),
      m_readBuffer(readBuffer) {}

void CFramedConnection::Start() {
    Await(Direction::Read);
    ArmKeepAlive();
}

void CFramedConnection::Close() {
    if (!m_open) {
        return;
    }
    // The owner lets go of its reference in OnClosed.
    const auto self = shared_from_this();
    m_open = false;
    asio::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
    m_keepAliveTimer.cancel();
    // Handlers still holding the connection must not hold its buffers too.
    m_out.clear();
    m_outBytes = 0;
    m_reader.Clear();
    m_owner.OnClosed(*this);
}

// ---- waiting, both directions ----

void CFramedConnection::Await(Direction direction) {
    bool& waiting = direction == Direction::Read ? m_readWaiting : m_writeWaiting;
    if (!m_open || m_frozen || waiting || (direction == Direction::Write && m_out.empty())) {
        return;
    }
    waiting = true;
    m_socket.async_wait(
        direction == Direction::Read ? tcp::socket::wait_read : tcp::socket::wait_write,
        [self = shared_from_this(), direction](const asio::error_code& ec) {
            self->OnReady(direction, ec);
        });
}

void CFramedConnection::OnReady(Direction direction, const asio::error_code& ec) {
    (direction == Direction::Read ? m_readWaiting : m_writeWaiting) = false;
    if (!m_open) {
        return;
    }
    if (ec == asio::error::operation_aborted) {
        Await(direction);  // cancelled by Freeze: again once thawed
        return;
    }
    if (ec) {
        Close();
        return;
    }
    if (m_frozen) {
        return;
    }
    if (direction == Direction::Read) {
        ReadAvailable();
    } else {
        WriteAvailable();
    }
}

// ---- reading ----

void CFramedConnection::ReadAvailable() {
    asio::error_code ec;
    const std::size_t got =
        m_socket.read_some(asio::buffer(m_readBuffer.data(), m_readBuffer.size()), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        Await(Direction::Read);
        return;
    }
    if (ec) {
        Close();
        return;
    }
    Consume(std::string_view(m_readBuffer.data(), got));
    Await(Direction::Read);
}

void CFramedConnection::Consume(std::string_view bytes) {
    while (!bytes.empty() && m_open) {
        const CFrameReader::Step step = m_reader.Take(bytes);
        bytes.remove_prefix(step.taken);
        switch (step.event) {
            case CFrameReader::Event::None:
            case CFrameReader::Event::KeepAlive:
                break;
            case CFrameReader::Event::TooLong:
                m_owner.OnTooLong(*this, m_reader.Length());
                Close();
                return;
            case CFrameReader::Event::Text:
                m_owner.OnFrame(*this, m_reader.TakeText());
                break;
        }
    }
}

// ---- writing ----

void CFramedConnection::Send(std::string_view text) {
    if (m_open && Queue(EncodeFrame(text), false)) {
        Flush();
    }
}

bool CFramedConnection::Queue(std::string frame, bool flood) {
    if (m_outBytes + frame.size() > MAX_WAITING_BYTES) {
        m_owner.OnOverflow(*this);
        Close();
        return false;
    }
    m_outBytes += frame.size();
    m_peakWaitingBytes = std::max(m_peakWaitingBytes, m_outBytes);
    m_out.push_back({std::move(frame), flood});
    m_lastQueued = Clock::now();
    return true;
}

void CFramedConnection::Flush() {
    Await(Direction::Write);
}

// Writes what the socket takes now, a few batches at most so that other
// connections get their turn, and waits for the rest.
void CFramedConnection::WriteAvailable() {
    m_writeWaiting = true;  // a flood's refill from in here must not start a second writer
    for (std::size_t batch = 0; batch < WRITE_BATCHES_PER_TURN && !m_out.empty(); ++batch) {
        const std::size_t count = std::min(m_out.size(), WRITE_BATCH_FRAMES);
        m_writeBuffers.clear();
        for (std::size_t i = 0; i < count; ++i) {
            m_writeBuffers.push_back(asio::buffer(m_out[i].bytes) + (i == 0 ? m_frontWritten : 0));
        }
        asio::error_code ec;
        const std::size_t written = m_socket.write_some(m_writeBuffers, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            break;
        }
        if (ec) {
            Close();
            return;
        }
        const uint32_t floodFrames = Written(written);
        if (floodFrames > 0) {
            m_owner.OnFloodFramesWritten(*this, floodFrames);
        }
        if (!m_open) {
            return;
        }
    }
    m_writeWaiting = false;
    Flush();
}

uint32_t CFramedConnection::Written(std::size_t written) {
    uint32_t floodFrames = 0;
    while (written > 0) {
        OutFrame& front = m_out.front();
        const std::size_t rest = front.bytes.size() - m_frontWritten;
        if (written < rest) {
            m_frontWritten += written;
            break;
        }
        written -= rest;
        m_frontWritten = 0;
        floodFrames += front.flood ? 1 : 0;
        m_outBytes -= front.bytes.size();
        m_out.pop_front();
    }
    return floodFrames;
}

// A keep-alive after CARD_HOST_KEEPALIVE without anything queued.
void CFramedConnection::ArmKeepAlive() {
    if (!m_open || m_frozen) {
        return;
    }
    m_keepAliveTimer.expires_at(m_lastQueued + CARD_HOST_KEEPALIVE);
    m_keepAliveTimer.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (ec || !self->m_open || self->m_frozen) {
            return;
        }
        if (Clock::now() - self->m_lastQueued >= CARD_HOST_KEEPALIVE) {
            if (!self->Queue(EncodeFrame({}), false)) {
                return;
            }
            self->Flush();
        }
        self->ArmKeepAlive();
    });
}

// ---- freezing ----

bool CFramedConnection::Freeze() {
    if (!m_open || m_frozen) {
        return false;
    }
    m_frozen = true;
    asio::error_code ignored;
    m_socket.cancel(ignored);
    m_keepAliveTimer.cancel();
    return true;
}

bool CFramedConnection::Thaw() {
    if (!m_open || !m_frozen) {
        return false;
    }
    m_frozen = false;
    Await(Direction::Read);
    Await(Direction::Write);
    ArmKeepAlive();
    return true;
}
