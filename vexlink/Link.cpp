// The connections behind a card's link: connect, frames both ways, keep-alives and
// the silence limit. Link.h draws them.
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
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "vexlink/Vexlink.h"
#include "wire/Frame.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Frame = std::string;

// The library's published terms are the wire's.
static_assert(VEXLINK_MAX_FRAME == MAX_FRAME_BYTES && VEXLINK_FRAME_HEADER == FRAME_HEADER_BYTES);

// Frames handed to one gathered write.
constexpr std::size_t MAX_GATHER = 64;
// A receive buffer grown beyond this by a large frame is given back afterwards.
constexpr std::size_t KEPT_RECEIVE_BUFFER = 65536;

// The kernel's keep-alive probes on an idle connection: the first after this
// idle time, then one per interval. With the user timeout set, the kernel
// gives up once VEXLINK_DEAD_PEER_MS passed without an answer.
constexpr int TCP_PROBE_IDLE_S = 5;
constexpr int TCP_PROBE_INTERVAL_S = 2;
constexpr int TCP_PROBE_COUNT = 5;

// The link of the sink callback running on this thread, if any.
thread_local const CLink* t_delivering = nullptr;

// Marks the running callback's link for the time of a callback.
class CDeliveryMarker {
public:
    explicit CDeliveryMarker(const CLink* link) { t_delivering = link; }
    ~CDeliveryMarker() { t_delivering = nullptr; }
    CDeliveryMarker(const CDeliveryMarker&) = delete;
    CDeliveryMarker& operator=(const CDeliveryMarker&) = delete;
};

bool IsAttemptNote(VexlinkNote note) {
    return note >= VEXLINK_NOTE_REFUSED && note <= VEXLINK_NOTE_UNREACHABLE;
}

// Why a connection attempt failed, by the error of the connect.
VexlinkNote AttemptNote(const std::error_code& error) {
    return error == asio::error::connection_refused ? VEXLINK_NOTE_REFUSED
                                                    : VEXLINK_NOTE_UNREACHABLE;
}

// Why a link ended, by the error of a read or a write.
VexlinkNote LinkNote(const std::error_code& error) {
    if (error == asio::error::eof || error == asio::error::connection_reset ||
        error == asio::error::connection_aborted || error == asio::error::broken_pipe) {
        return VEXLINK_NOTE_CLOSED_BY_HOST;
    }
    return VEXLINK_NOTE_FAILED;
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
          m_keepAliveTimer(context),
          m_silenceTimer(context) {
        m_gather.reserve(MAX_GATHER);
    }

    // Service thread.
    void Start(const std::string& host, const std::string& port);
    // Service thread; any number of times, the first one counts. Reports the
    // link down for `reason` if it was reported up; reports an attempt's own
    // failure (an attempt note) if it was still the link's current attempt.
    void Close(VexlinkNote reason);
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
    void ArmSilence();
    void OnSilence(const std::error_code& error);
    void SetSocketOptions();
    // The completion condition of every read: all bytes asked for, and bytes
    // that arrive count as a sign of life for the silence limit, also when
    // they are only part of what the read waits for. (A read that fills its
    // buffer at once does not consult it; its handler counts those bytes.)
    auto HeardFrom() {
        return [this, seen = std::size_t{0}](const std::error_code& error,
                                             std::size_t transferred) mutable {
            if (transferred > seen) {
                seen = transferred;
                m_lastHeard = Clock::now();
            }
            return asio::transfer_all()(error, transferred);
        };
    }

    std::shared_ptr<CLink> m_link;
    tcp::resolver m_resolver;
    tcp::socket m_socket;
    asio::steady_timer m_connectTimer;
    asio::steady_timer m_keepAliveTimer;
    asio::steady_timer m_silenceTimer;

    // Service thread only.
    std::array<unsigned char, FRAME_HEADER_BYTES> m_header{};
    std::vector<char> m_body;
    std::vector<asio::const_buffer> m_gather;
    bool m_connected = false;   // the socket is connected; the time limit no longer applies
    bool m_reportedUp = false;  // OnLinkUp was delivered (or would have been, after Release)
    bool m_closed = false;
    Clock::time_point m_lastHeard;  // when the last byte arrived (or the link came up)

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
            self->Close(VEXLINK_NOTE_TIMED_OUT);
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
        Close(VEXLINK_NOTE_UNRESOLVED);
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
        Close(AttemptNote(error));
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
        Close(VEXLINK_NOTE_DISCONNECTED);
        return;
    }
    SetSocketOptions();
    m_reportedUp = true;
    m_lastHeard = Clock::now();
    m_link->Deliver([](CVexlinkSink& sink) { sink.OnLinkUp(); });
    if (m_closed) {
        return;
    }
    ReadHeader();
    ArmKeepAlive();
    ArmSilence();
}

void CConnection::SetSocketOptions() {
    std::error_code ignored;
    m_socket.set_option(tcp::no_delay(true), ignored);
    m_socket.set_option(asio::socket_base::keep_alive(true), ignored);
    // Best effort: without them a vanished peer is found later, by the
    // library's silence limit or the kernel's defaults.
    const int fd = m_socket.native_handle();
    const int idle = TCP_PROBE_IDLE_S;
    const int interval = TCP_PROBE_INTERVAL_S;
    const int count = TCP_PROBE_COUNT;
    const unsigned int timeout = VEXLINK_DEAD_PEER_MS;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

void CConnection::Close(VexlinkNote reason) {
    if (m_closed) {
        return;
    }
    m_closed = true;
    bool current = false;
    {
        std::lock_guard lock(m_link->m_mutex);
        m_up = false;
        current = m_link->m_current.get() == this;
        if (current) {
            m_link->m_current.reset();
        }
    }
    m_resolver.cancel();
    m_connectTimer.cancel();
    m_keepAliveTimer.cancel();
    m_silenceTimer.cancel();
    std::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
    if (m_reportedUp) {
        m_link->DeliverNote(reason, true);
    } else if (current && IsAttemptNote(reason)) {
        // An attempt the station abandoned (Disconnect, a later failure
        // racing it) is stale and says nothing.
        m_link->DeliverNote(reason, false);
    }
}

void CConnection::ReadHeader() {
    auto self = shared_from_this();
    asio::async_read(m_socket, asio::buffer(m_header), HeardFrom(),
                     [self](const std::error_code& error, std::size_t) { self->OnHeader(error); });
}

void CConnection::OnHeader(const std::error_code& error) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close(LinkNote(error));
        return;
    }
    m_lastHeard = Clock::now();
    const uint32_t length = DecodeFrameLength(m_header.data());
    if (length == 0) {
        ReadHeader();
        return;
    }
    if (length > MAX_FRAME_BYTES) {
        Close(VEXLINK_NOTE_PROTOCOL);
        return;
    }
    try {
        m_body.resize(std::size_t{length} + 1);
    } catch (const std::bad_alloc&) {
        Close(VEXLINK_NOTE_FAILED);
        return;
    }
    auto self = shared_from_this();
    asio::async_read(m_socket, asio::buffer(m_body.data(), length), HeardFrom(),
                     [self, length](const std::error_code& bodyError, std::size_t) {
                         self->OnBody(bodyError, length);
                     });
}

void CConnection::OnBody(const std::error_code& error, uint32_t length) {
    if (m_closed) {
        return;
    }
    if (error) {
        Close(LinkNote(error));
        return;
    }
    m_lastHeard = Clock::now();
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
        Close(LinkNote(error));
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
            (void)EnqueueLocked(EncodeFrame({}));
        }
        m_sentSinceKeepAlive = false;
    } catch (const std::bad_alloc&) {
        // A keep-alive missed; the next period tries again.
    }
    ArmKeepAlive();
}

void CConnection::ArmSilence() {
    const std::chrono::milliseconds limit = m_link->m_settings.silence;
    if (limit.count() == 0) {
        return;
    }
    // One wake-up per limit at most, however often bytes arrive: the handler
    // moves the deadline on to the last byte heard.
    auto self = shared_from_this();
    m_silenceTimer.expires_at(m_lastHeard + limit);
    m_silenceTimer.async_wait([self](const std::error_code& error) { self->OnSilence(error); });
}

void CConnection::OnSilence(const std::error_code& error) {
    if (m_closed || error) {
        return;
    }
    if (Clock::now() - m_lastHeard >= m_link->m_settings.silence) {
        Close(VEXLINK_NOTE_SILENT);
        return;
    }
    ArmSilence();
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
    CDeliveryMarker marker(this);
    try {
        call(*m_sink);
    } catch (...) {
        // A sink must not throw; one that does must not stall the link.
    }
}

void CLink::DeliverNote(VexlinkNote note, bool linkDown) {
    std::lock_guard lock(m_callbackMutex);
    if (m_sink == nullptr) {
        return;
    }
    CDeliveryMarker marker(this);
    m_lastNote.store(note, std::memory_order_release);
    try {
        m_sink->OnNotify();
    } catch (...) {
    }
    // A sink that released its own link from OnNotify, against the contract,
    // has cleared m_sink.
    if (linkDown && m_sink != nullptr) {
        try {
            m_sink->OnLinkDown();
        } catch (...) {
        }
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

bool CLink::DropCurrentLocked(VexlinkNote reason) {
    try {
        asio::post(m_context, [connection = m_current, reason] { connection->Close(reason); });
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
    return DropCurrentLocked(VEXLINK_NOTE_DISCONNECTED) ? VEXLINK_OK : VEXLINK_FAILED;
}

int CLink::Send(const char* text, uint32_t length) {
    if (length > VEXLINK_MAX_FRAME) {
        return VEXLINK_TOO_LONG;
    }
    if (text == nullptr && length > 0) {
        return VEXLINK_INVALID;
    }
    try {
        Frame frame = EncodeFrame(length > 0 ? std::string_view(text, length) : std::string_view());
        std::lock_guard lock(m_mutex);
        if (!m_current || !m_current->IsUpLocked()) {
            return VEXLINK_NO_LINK;
        }
        if (!m_current->EnqueueLocked(std::move(frame))) {
            // The host has stopped reading: give the link up rather than memory.
            return DropCurrentLocked(VEXLINK_NOTE_OVERFLOW) ? VEXLINK_OVERFLOW : VEXLINK_FAILED;
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
        (void)DropCurrentLocked(VEXLINK_NOTE_DISCONNECTED);
    }
}
