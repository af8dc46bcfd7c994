#include "vexlink/Link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <deque>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "vexlink/Vexlink.h"

namespace {

using asio::ip::tcp;
using Frame = std::vector<char>;

// Frames handed to one gathered write.
constexpr std::size_t MAX_GATHER = 64;
// A receive buffer grown beyond this by a large frame is given back afterwards.
constexpr std::size_t KEPT_RECEIVE_BUFFER = 65536;

// The link of the sink callback running on this thread, if any.
thread_local const CLink* t_delivering = nullptr;

Frame MakeFrame(const char* text, uint32_t length) {
    Frame frame(VEXLINK_FRAME_HEADER + length);
    frame[0] = static_cast<char>((length >> 24) & 0xFF);
    frame[1] = static_cast<char>((length >> 16) & 0xFF);
    frame[2] = static_cast<char>((length >> 8) & 0xFF);
    frame[3] = static_cast<char>(length & 0xFF);
    if (length > 0) {
        std::memcpy(frame.data() + VEXLINK_FRAME_HEADER, text, length);
    }
    return frame;
}

uint32_t DecodeLength(const std::array<unsigned char, VEXLINK_FRAME_HEADER>& header) {
    return (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) |
           uint32_t{header[3]};
}

// A port is a decimal number from 1 to 65535, nothing else: a name lookup
// must not turn an empty or odd text into some port of its own choosing.
bool ValidPort(const char* port) {
    if (port == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(port);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port, port + length, value);
    return length > 0 && port[0] != '+' && error == std::errc() && end == port + length &&
           value >= 1 && value <= 65535;
}

}  // namespace

// One connection attempt and, once connected, the link it became. Lives on
// the service thread; the fields marked as guarded are shared with the
// station's threads under the link's mutex.
class CConnection : public std::enable_shared_from_this<CConnection> {
public:
    CConnection(std::shared_ptr<CLink> link, asio::io_context& context)
        : m_link(std::move(link)),
          m_resolver(context),
          m_socket(context),
          m_connectTimer(context),
          m_keepAliveTimer(context) {
        m_gather.reserve(MAX_GATHER);
    }

    // Service thread.
    void Start(const std::string& host, const std::string& port);
    // Service thread; any number of times. Reports the link down if it was
    // reported up.
    void Close();
    void WriteNext();

    // With the link's mutex held.
    bool IsUpLocked() const { return m_up; }
    // Queues a frame; false when the queue would grow beyond its bound.
    // May throw (out of memory); then nothing is queued and the writer stays sound.
    bool EnqueueLocked(Frame&& frame);

private:
    void OnResolved(const std::error_code& error, const tcp::resolver::results_type& endpoints);
    void OnConnected(const std::error_code& error);
    void ReadHeader();
    void OnHeader(const std::error_code& error);
    void OnBody(const std::error_code& error, uint32_t length);
    void OnWritten(const std::error_code& error);
    void ArmKeepAlive();
    void OnKeepAlive(const std::error_code& error);
    void SetSocketOptions();

    std::shared_ptr<CLink> m_link;
    tcp::resolver m_resolver;
    tcp::socket m_socket;
    asio::steady_timer m_connectTimer;
    asio::steady_timer m_keepAliveTimer;

    // Service thread only.
    std::array<unsigned char, VEXLINK_FRAME_HEADER> m_header{};
    std::vector<char> m_body;
    std::vector<asio::const_buffer> m_gather;
    bool m_connected = false;   // the socket is connected; the time limit no longer applies
    bool m_reportedUp = false;  // OnLinkUp was delivered (or would have been, after Release)
    bool m_closed = false;

    // Guarded by the link's mutex. The service thread reads the front of
    // m_outgoing without the lock while writing it: a deque keeps its
    // elements in place when others are added at the back.
    bool m_up = false;
    std::deque<Frame> m_outgoing;
    std::size_t m_pending = 0;   // bytes in m_outgoing
    std::size_t m_inFlight = 0;  // frames at the front being written
    bool m_writing = false;      // a WriteNext is posted or a write is under way
    bool m_sentSinceKeepAlive = false;
};

void CConnection::Start(const std::string& host, const std::string& port) {
    if (m_closed) {
        return;
    }
    auto self = shared_from_this();
    m_connectTimer.expires_after(m_link->m_settings.connectTimeout);
    m_connectTimer.async_wait([self](const std::error_code& error) {
        // The timer may have expired just before the connection succeeded.
        if (!error && !self->m_connected) {
            self->Close();
        }
    });
    m_resolver.async_resolve(
        host, port, tcp::resolver::numeric_service,
        [self](const std::error_code& error, const tcp::resolver::results_type& endpoints) {
            self->OnResolved(error, endpoints);
        });
}

void CConnection::OnResolved(const std::error_code& error,
                             const tcp::resolver::results_type& endpoints) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close();
        return;
    }
    auto self = shared_from_this();
    asio::async_connect(m_socket, endpoints,
                        [self](const std::error_code& connectError, const tcp::endpoint&) {
                            self->OnConnected(connectError);
                        });
}

void CConnection::OnConnected(const std::error_code& error) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close();
        return;
    }
    m_connected = true;
    m_connectTimer.cancel();
    bool current = false;
    {
        std::lock_guard lock(m_link->m_mutex);
        current = m_link->m_current.get() == this;
        m_up = current;
    }
    if (!current) {
        // Disconnected or released while connecting: this one is never reported.
        Close();
        return;
    }
    SetSocketOptions();
    m_reportedUp = true;
    m_link->Deliver([](CVexlinkSink& sink) { sink.OnLinkUp(); });
    ReadHeader();
    ArmKeepAlive();
}

void CConnection::SetSocketOptions() {
    std::error_code ignored;
    m_socket.set_option(tcp::no_delay(true), ignored);
    m_socket.set_option(asio::socket_base::keep_alive(true), ignored);
#ifdef TCP_USER_TIMEOUT
    const unsigned int timeout = VEXLINK_DEAD_PEER_MS;
    // Best effort: without it a vanished peer is found later, by the kernel's defaults.
    (void)::setsockopt(m_socket.native_handle(), IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout,
                       sizeof timeout);
#endif
}

void CConnection::Close() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    {
        std::lock_guard lock(m_link->m_mutex);
        m_up = false;
        if (m_link->m_current.get() == this) {
            m_link->m_current.reset();
        }
    }
    m_resolver.cancel();
    m_connectTimer.cancel();
    m_keepAliveTimer.cancel();
    std::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
    if (m_reportedUp) {
        m_link->Deliver([](CVexlinkSink& sink) { sink.OnLinkDown(); });
    }
}

void CConnection::ReadHeader() {
    auto self = shared_from_this();
    asio::async_read(m_socket, asio::buffer(m_header),
                     [self](const std::error_code& error, std::size_t) { self->OnHeader(error); });
}

void CConnection::OnHeader(const std::error_code& error) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close();
        return;
    }
    const uint32_t length = DecodeLength(m_header);
    if (length == 0) {
        ReadHeader();
        return;
    }
    if (length > VEXLINK_MAX_FRAME) {
        Close();
        return;
    }
    try {
        m_body.resize(std::size_t{length} + 1);
    } catch (const std::bad_alloc&) {
        Close();
        return;
    }
    auto self = shared_from_this();
    asio::async_read(m_socket, asio::buffer(m_body.data(), length),
                     [self, length](const std::error_code& bodyError, std::size_t) {
                         self->OnBody(bodyError, length);
                     });
}

void CConnection::OnBody(const std::error_code& error, uint32_t length) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close();
        return;
    }
    m_body[length] = '\0';
    const char* text = m_body.data();
    m_link->Deliver([text, length](CVexlinkSink& sink) { sink.OnMessage(text, length); });
    if (m_closed) {
        return;
    }
    if (m_body.capacity() > KEPT_RECEIVE_BUFFER) {
        std::vector<char>().swap(m_body);
    }
    ReadHeader();
}

bool CConnection::EnqueueLocked(Frame&& frame) {
    if (m_pending + frame.size() > VEXLINK_MAX_PENDING) {
        return false;
    }
    if (!m_writing) {
        asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->WriteNext(); });
        m_writing = true;
    }
    const std::size_t size = frame.size();
    m_outgoing.push_back(std::move(frame));
    m_pending += size;
    m_sentSinceKeepAlive = true;
    return true;
}

void CConnection::WriteNext() {
    if (m_closed) {
        return;
    }
    m_gather.clear();
    {
        std::lock_guard lock(m_link->m_mutex);
        if (m_outgoing.empty()) {
            m_writing = false;
            return;
        }
        m_inFlight = std::min(m_outgoing.size(), MAX_GATHER);
        for (std::size_t i = 0; i < m_inFlight; ++i) {
            m_gather.push_back(asio::buffer(m_outgoing[i]));
        }
    }
    auto self = shared_from_this();
    asio::async_write(m_socket, m_gather, [self](const std::error_code& error, std::size_t) {
        self->OnWritten(error);
    });
}

void CConnection::OnWritten(const std::error_code& error) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close();
        return;
    }
    {
        std::lock_guard lock(m_link->m_mutex);
        for (; m_inFlight > 0; --m_inFlight) {
            m_pending -= m_outgoing.front().size();
            m_outgoing.pop_front();
        }
    }
    WriteNext();
}

void CConnection::ArmKeepAlive() {
    if (m_link->m_settings.keepAlive.count() == 0) {
        return;
    }
    auto self = shared_from_this();
    m_keepAliveTimer.expires_after(m_link->m_settings.keepAlive);
    m_keepAliveTimer.async_wait([self](const std::error_code& error) { self->OnKeepAlive(error); });
}

void CConnection::OnKeepAlive(const std::error_code& error) {
    if (m_closed || error) {
        return;
    }
    try {
        std::lock_guard lock(m_link->m_mutex);
        if (!m_sentSinceKeepAlive && m_outgoing.empty()) {
            (void)EnqueueLocked(MakeFrame(nullptr, 0));
        }
        m_sentSinceKeepAlive = false;
    } catch (const std::bad_alloc&) {
        // A keep-alive missed; the next period tries again.
    }
    ArmKeepAlive();
}

CLink::CLink(CVexlinkSink* sink, asio::io_context& context, const LinkSettings& settings)
    : m_context(context), m_settings(settings), m_sink(sink) {}

CLink::~CLink() = default;

template <typename Call>
void CLink::Deliver(Call&& call) {
    std::lock_guard lock(m_callbackMutex);
    if (m_sink == nullptr) {
        return;
    }
    struct Marker {
        explicit Marker(const CLink* link) { t_delivering = link; }
        ~Marker() { t_delivering = nullptr; }
        Marker(const Marker&) = delete;
        Marker& operator=(const Marker&) = delete;
    } marker(this);
    try {
        call(*m_sink);
    } catch (...) {
        // A sink must not throw; one that does must not stall the link.
    }
}

int CLink::Connect(const char* host, const char* port) {
    if (host == nullptr || *host == '\0' || !ValidPort(port)) {
        return VEXLINK_INVALID;
    }
    try {
        std::lock_guard lock(m_mutex);
        if (m_current) {
            return VEXLINK_BUSY;
        }
        auto connection = std::make_shared<CConnection>(shared_from_this(), m_context);
        asio::post(m_context,
                   [connection, hostText = std::string(host), portText = std::string(port)] {
                       connection->Start(hostText, portText);
                   });
        m_current = std::move(connection);
        return VEXLINK_OK;
    } catch (const std::exception&) {
        return VEXLINK_FAILED;
    }
}

bool CLink::DropCurrentLocked() {
    try {
        asio::post(m_context, [connection = m_current] { connection->Close(); });
    } catch (const std::exception&) {
        return false;
    }
    m_current.reset();
    return true;
}

int CLink::Disconnect() {
    std::lock_guard lock(m_mutex);
    if (!m_current) {
        return VEXLINK_NO_LINK;
    }
    return DropCurrentLocked() ? VEXLINK_OK : VEXLINK_FAILED;
}

int CLink::Send(const char* text, uint32_t length) {
    if (length > VEXLINK_MAX_FRAME) {
        return VEXLINK_TOO_LONG;
    }
    if (text == nullptr && length > 0) {
        return VEXLINK_INVALID;
    }
    try {
        Frame frame = MakeFrame(text, length);
        std::lock_guard lock(m_mutex);
        if (!m_current || !m_current->IsUpLocked()) {
            return VEXLINK_NO_LINK;
        }
        if (!m_current->EnqueueLocked(std::move(frame))) {
            // The host has stopped reading: give the link up rather than memory.
            return DropCurrentLocked() ? VEXLINK_OVERFLOW : VEXLINK_FAILED;
        }
        return VEXLINK_OK;
    } catch (const std::exception&) {
        return VEXLINK_FAILED;
    }
}

void CLink::Release() {
    if (t_delivering == this) {
        // Called from this link's own callback against the contract: the
        // callback lock is ours already, and waiting for ourselves would hang.
        m_sink = nullptr;
    } else {
        std::lock_guard lock(m_callbackMutex);
        m_sink = nullptr;
    }
    std::lock_guard lock(m_mutex);
    if (m_current) {
        // Should even this fail, the connection can reach no sink any more.
        (void)DropCurrentLocked();
    }
}
