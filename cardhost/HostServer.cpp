// A card host's thread, listener and connections, and the routing of the
// station's commands to the cards. HostServer.h draws it.
#include "cardhost/HostServer.h"

#include <algorithm>
#include <utility>

namespace {

using asio::ip::tcp;

constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(100);

std::string FormatEndpoint(const tcp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

CHostServer::CHostServer(CardHostOptions options, CCardHost::OutputFn output)
    : m_options(std::move(options)),
      m_output(std::move(output)),
      m_work(asio::make_work_guard(m_io)),
      m_acceptor(m_io),
      m_acceptRetry(m_io) {
    for (std::size_t i = 0; i < m_options.serials.size(); ++i) {
        m_cards.push_back(std::make_unique<CHostCard>(
            m_io, m_options.serials[i], static_cast<uint32_t>(i + 1), m_options, *this));
    }
}

CHostServer::~CHostServer() {
    Stop();
}

void CHostServer::Emit(const std::string& line) {
    if (m_output) {
        m_output(line);
    }
}

CHostCard* CHostServer::FindCard(uint32_t serial) const {
    for (const auto& card : m_cards) {
        if (card->Serial() == serial) {
            return card.get();
        }
    }
    return nullptr;
}

CHostCard* CHostServer::AttachedCard(uint32_t serial, std::string& error) const {
    CHostCard* card = FindCard(serial);
    if (!card) {
        error = "no card " + std::to_string(serial) + " on this host";
        return nullptr;
    }
    if (!card->Connection()) {
        error = "card " + std::to_string(serial) + " is not attached";
        return nullptr;
    }
    return card;
}

CHostCard* CHostServer::CardOf(const CFramedConnection& connection) const {
    for (const auto& card : m_cards) {
        if (card->Connection().get() == &connection) {
            return card.get();
        }
    }
    return nullptr;
}

std::string CHostServer::Label(const CFramedConnection& connection) const {
    const CHostCard* card = CardOf(connection);
    return card ? std::to_string(card->Serial()) : "-";
}

CardHostUsage CHostServer::Usage() const {
    CardHostUsage usage;
    usage.connections = m_connections.size();
    usage.peakWaitingBytes = m_closedPeakWaitingBytes;
    for (const ConnectionPtr& connection : m_connections) {
        usage.waitingBytes += connection->WaitingBytes();
        usage.receiveBytes += connection->ReceiveBufferBytes();
        usage.peakWaitingBytes = std::max(usage.peakWaitingBytes, connection->PeakWaitingBytes());
    }
    return usage;
}

// ---- waiting for cards (any thread) ----

void CHostServer::OnCardChanged(const CHostCard& card) {
    {
        std::lock_guard lock(m_attachLock);
        if (card.Connection()) {
            m_attached.insert(card.Serial());
        } else {
            m_attached.erase(card.Serial());
        }
        if (card.Connection() && card.InMode()) {
            m_inMode.insert(card.Serial());
        } else {
            m_inMode.erase(card.Serial());
        }
    }
    m_attachChanged.notify_all();
}

bool CHostServer::WaitFor(uint32_t serial, bool inMode, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_attachLock);
    const std::set<uint32_t>& serials = inMode ? m_inMode : m_attached;
    m_attachChanged.wait_for(lock, timeout, [&] { return m_halted || serials.count(serial) > 0; });
    return !m_halted && serials.count(serial) > 0;
}

// ---- start and stop (caller's thread) ----

bool CHostServer::Start(std::string& error, uint16_t& port) {
    if (m_started) {
        error = "the host was started before";
        return false;
    }
    m_started = true;
    asio::error_code ec;
    const asio::ip::address address = asio::ip::make_address(m_options.address, ec);
    if (ec) {
        error = "invalid listen address " + m_options.address;
        return false;
    }
    const tcp::endpoint endpoint(address, m_options.port);
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        m_acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    tcp::endpoint local;
    if (!ec) {
        local = m_acceptor.local_endpoint(ec);
    }
    if (ec) {
        error = "cannot listen on " + FormatEndpoint(endpoint) + ": " + ec.message();
        asio::error_code ignored;
        m_acceptor.close(ignored);
        return false;
    }
    port = local.port();
    Emit("listening " + FormatEndpoint(local));
    Accept();
    {
        std::lock_guard lock(m_postLock);
        m_running = true;
    }
    m_thread = std::thread([this] { m_io.run(); });
    return true;
}

void CHostServer::Stop() {
    {
        std::lock_guard lock(m_postLock);
        if (!m_running) {
            return;
        }
        m_running = false;
        asio::post(m_io, [this] { Shutdown(); });
    }
    m_work.reset();
    m_thread.join();
    {
        std::lock_guard lock(m_attachLock);
        m_halted = true;
    }
    m_attachChanged.notify_all();
}

void CHostServer::Shutdown() {
    asio::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
    const std::set<ConnectionPtr> open = m_connections;
    for (const ConnectionPtr& connection : open) {
        connection->Close();
    }
    for (auto& card : m_cards) {
        card->Stop();
    }
}

// ---- connections ----

void CHostServer::Accept() {
    m_acceptor.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
        if (!m_acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors, for instance: try again a little later
            // rather than spinning.
            Emit("error accept: " + ec.message());
            m_acceptRetry.expires_after(ACCEPT_RETRY);
            m_acceptRetry.async_wait([this](const asio::error_code& waited) {
                if (!waited) {
                    Accept();
                }
            });
            return;
        }
        OnAccepted(std::move(socket));
        Accept();
    });
}

void CHostServer::OnAccepted(tcp::socket socket) {
    asio::error_code ec;
    const tcp::endpoint peerEndpoint = socket.remote_endpoint(ec);
    const std::string peer = ec ? "?" : FormatEndpoint(peerEndpoint);
    if (m_connections.size() >= MAX_HOST_CONNECTIONS) {
        Emit("error connection from " + peer + " refused: " + std::to_string(MAX_HOST_CONNECTIONS) +
             " connections open");
        socket.close(ec);
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    socket.non_blocking(true, ec);
    if (ec) {
        // A blocking socket would stall the host's thread.
        Emit("error connection from " + peer + " refused: " + ec.message());
        socket.close(ec);
        return;
    }
    auto connection = std::make_shared<CFramedConnection>(std::move(socket), peer, *this,
                                                          std::span<char>(m_readBuffer));
    m_connections.insert(connection);
    Emit("accepted " + connection->Peer());
    connection->Send(CardsInformationMessage(m_options.serials));
    connection->Start();
}

void CHostServer::OnTooLong(CFramedConnection& connection, uint32_t length) {
    Emit("error frame of " + std::to_string(length) + " bytes from " + Label(connection) +
         ", closing the connection");
}

void CHostServer::OnOverflow(CFramedConnection& connection) {
    Emit("error more than " + std::to_string(MAX_WAITING_BYTES) + " bytes waiting for " +
         Label(connection) + ", closing the connection");
}

void CHostServer::OnFloodFramesWritten(CFramedConnection& connection, uint32_t count) {
    if (CHostCard* card = CardOf(connection)) {
        card->OnFloodFramesWritten(count);
    }
}

void CHostServer::OnClosed(CFramedConnection& connection) {
    const std::string label = Label(connection);
    if (CHostCard* card = CardOf(connection)) {
        card->Detach();
    }
    m_closedPeakWaitingBytes = std::max(m_closedPeakWaitingBytes, connection.PeakWaitingBytes());
    m_connections.erase(connection.shared_from_this());
    Emit("closed " + label);
}

// ---- the station's commands ----

void CHostServer::Attach(CFramedConnection& connection, CHostCard& card) {
    if (card.Connection().get() == &connection) {
        Emit("attached " + std::to_string(card.Serial()));
        return;
    }
    if (CHostCard* previous = CardOf(connection)) {
        previous->Detach();
    }
    if (card.Connection()) {
        card.Detach();  // taken over from another connection, which stays open
    }
    card.Attach(connection.shared_from_this());
}

void CHostServer::OnFrame(CFramedConnection& connection, const std::string& text) {
    const std::string label = Label(connection);
    Emit("recv " + label + " " + PrintableText(text));
    CardCommand command;
    std::string error;
    if (!ParseCommand(text, command, error)) {
        Emit("error not well-formed XML from " + label + ": " + error);
        return;
    }
    if (command.kind == CommandKind::Connect) {
        CHostCard* card = FindCard(command.serial);
        if (!card) {
            if (CHostCard* previous = CardOf(connection)) {
                previous->Detach();
            }
            Emit("error unknown card " + std::to_string(command.serial) + " from " + label);
            return;
        }
        Attach(connection, *card);
        return;
    }
    if (command.kind == CommandKind::Unknown) {
        Emit("error unknown command from " + label + ": " + command.detail);
        return;
    }
    CHostCard* card = CardOf(connection);
    if (!card) {
        Emit("error command from - without an attached card");
        return;
    }
    switch (command.kind) {
        case CommandKind::SetParameters:
            card->ApplyParameters(command.parameters);
            break;
        case CommandKind::StartResync:
            card->Resync();
            break;
        case CommandKind::SetConfiguration:
        case CommandKind::Connect:
        case CommandKind::Unknown:
            break;
    }
}
