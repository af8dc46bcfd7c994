// A card host's card: its settings, its connection, its session and its
// flood. HostCard.h draws its states.
#include "cardhost/HostCard.h"

#include <utility>

namespace {

// A flood keeps at most this much queued on its connection, so that it goes as
// fast as the socket takes it without holding the whole flood in memory.
constexpr std::size_t FLOOD_QUEUE_BYTES = 256 * 1024;

// Used when a card has no mode or has had no session yet.
constexpr const char* DEFAULT_MODE_LETTERS = " B";
constexpr const char* DEFAULT_SERVICE = "TEL ";
constexpr const char* FLOOD_SERVICE = "DATA";

}  // namespace

CHostCard::CHostCard(asio::io_context& io, uint32_t serial, uint32_t number,
                     const CardHostOptions& options, CCardOwner& owner)
    : m_serial(serial),
      m_number(number),
      m_options(options),
      m_owner(owner),
      m_service(DEFAULT_SERVICE),
      m_traffic(io, *this, number, options) {}

bool CHostCard::InMode() const {
    return ModeLetters(m_code) != nullptr;
}

const char* CHostCard::Letters() const {
    const char* letters = ModeLetters(m_code);
    return letters ? letters : DEFAULT_MODE_LETTERS;
}

CardHostCardStatus CHostCard::Status() const {
    CardHostCardStatus status;
    status.attached = m_connection != nullptr;
    status.code = m_code;
    status.als = m_als;
    status.modulation = m_modulation;
    status.input = m_input;
    status.inSession = m_inSession;
    status.mesId = m_inSession ? m_mesId : 0;
    return status;
}

// ---- attachment ----

void CHostCard::Attach(std::shared_ptr<CFramedConnection> connection) {
    m_connection = std::move(connection);
    m_owner.OnCardChanged(*this);
    m_owner.Emit("attached " + std::to_string(m_serial));
    if (m_options.flood > 0) {
        StartFlood(m_options.flood);
    }
    m_traffic.Schedule();
}

void CHostCard::Detach() {
    if (m_flooding) {
        m_flooding = false;
        m_owner.Emit("error flood " + std::to_string(m_serial) + " stopped after " +
                     std::to_string(m_floodWritten) + " of " + std::to_string(m_floodCount));
    }
    AbortSession();
    m_connection.reset();
    m_owner.OnCardChanged(*this);
}

void CHostCard::Stop() {
    m_traffic.Stop();
}

// ---- the station's commands ----

// A new code retunes the card: a running session is dropped without an end
// record, and the card reports its code and ALS state. A lone "als" is
// reported back. Other parameters are stored or ignored, unanswered.
void CHostCard::ApplyParameters(const std::vector<CardParameter>& parameters) {
    bool codeSet = false;
    bool alsSet = false;
    for (const CardParameter& parameter : parameters) {
        if (parameter.name == "code") {
            m_code = parameter.value;
            codeSet = true;
        } else if (parameter.name == "als") {
            m_als = parameter.value;
            alsSet = true;
        } else if (parameter.name == "modulation") {
            m_modulation = parameter.value;
        } else if (parameter.name == "input") {
            m_input = parameter.value;
        }
    }
    if (codeSet) {
        m_owner.OnCardChanged(*this);
        AbortSession();
        Send(ParameterListMessage({{"code", m_code}, {"als", m_als}}));
        m_traffic.Schedule();
    } else if (alsSet) {
        Send(ParameterListMessage({{"als", m_als}}));
    }
}

// Back to searching: whatever the card was decoding is dropped without an end
// record, as the station asked for it.
void CHostCard::Resync() {
    AbortSession();
    m_traffic.Schedule();
}

// ---- what the card sends ----

void CHostCard::Send(std::string_view text) {
    if (m_connection) {
        m_connection->Send(text);
    }
}

void CHostCard::StartSession(uint32_t mesId, const std::string& service) {
    AbortSession();
    BeginSession(mesId, service.c_str());
    Send(DataTextMessage(StartRecord(Letters(), m_service, mesId, m_number)));
}

void CHostCard::EndSession() {
    AbortSession();
    Send(DataTextMessage(TrafficEventRecord(Letters(), m_service, EVENT_END)));
    m_traffic.Schedule();
}

void CHostCard::SendEvent(std::string_view event) {
    Send(DataTextMessage(TrafficEventRecord(Letters(), m_service, event)));
}

void CHostCard::BeginSession(uint32_t mesId, const char* service) {
    m_inSession = true;
    m_mesId = mesId;
    m_service = service;
}

void CHostCard::FinishSession() {
    m_inSession = false;
}

void CHostCard::AbortSession() {
    m_inSession = false;
    m_traffic.Stop();
}

// ---- flood ----

void CHostCard::StartFlood(uint32_t count) {
    m_flooding = true;
    m_floodCount = count;
    m_floodQueued = 0;
    m_floodWritten = 0;
    m_floodFrame =
        EncodeFrame(DataTextMessage(TrafficEventRecord(Letters(), FLOOD_SERVICE, EVENT_CCS)));
    PumpFlood();
}

void CHostCard::OnFloodFramesWritten(uint32_t count) {
    m_floodWritten += count;
    PumpFlood();
}

void CHostCard::PumpFlood() {
    if (!m_flooding || !m_connection) {
        return;
    }
    if (m_floodWritten >= m_floodCount) {
        m_flooding = false;
        m_owner.Emit("flood-done " + std::to_string(m_serial) + " " + std::to_string(m_floodCount));
        return;
    }
    const std::shared_ptr<CFramedConnection> connection = m_connection;
    while (m_floodQueued < m_floodCount && connection->WaitingBytes() < FLOOD_QUEUE_BYTES) {
        if (!connection->Queue(m_floodFrame, true)) {
            return;  // closed, and the flood with it
        }
        ++m_floodQueued;
    }
    connection->Flush();
}
