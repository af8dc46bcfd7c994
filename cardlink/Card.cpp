// A configured card: its library object and handler, its state under a lock with busy time on the
// steady clock, its commands waiting behind timed mode setups, and its ALS walk.
#include "cardlink/Card.h"

#include <algorithm>

#include "cardlink/CardCommands.h"
#include "resources/OrvaneTypes.h"

namespace {

// The options block handed to the library with every new object.
VexlinkOptions LinkOptions() {
    VexlinkOptions options{};
    options.flag0 = 0;
    options.flag1 = 1;
    options.value1 = 1;
    options.value2 = 0;
    return options;
}

constexpr int64_t MS_PER_SECOND = 1000;

}  // namespace

const char* PortOfDevice(int32_t device) {
    switch (device) {
        case DEVICE_CORAX:
            return PORT_CORAX;
        case DEVICE_CORAX_E:
            return PORT_CORAX_E;
        case DEVICE_TARSA:
            return PORT_TARSA;
        default:
            return "";
    }
}

CCard::CCard(int32_t number, const std::string& address, int32_t serialNumber, int32_t mode,
             int32_t device, CCircularBuffer<char>* queue, CLogger* log, const CClock* clock)
    : m_queue(queue),
      m_clock(clock),
      m_number(number),
      m_address(address),
      m_serialNumber(serialNumber),
      m_mode(mode),
      m_device(device) {
    m_state.number = number;
    m_state.address = address;
    m_state.serialNumber = serialNumber;
    m_state.status = STATUS_NOT_CONNECTED;
    m_state.mode = mode;
    m_state.device = device;

    m_handler = std::make_unique<CCardMH>(m_charSize);
    const VexlinkOptions options = LinkOptions();
    m_instance = CreateVexlinkInstance(m_handler.get(), "", "", &options);
    // Without a library object the card stays Not Connected: the handler has no
    // object to call, so connects, disconnects and commands do nothing.
    m_handler->SetInstance(m_instance);
    m_handler->Init(address, number, queue, log);
}

CCard::~CCard() {
    // Release first: once it returns no callback runs or will run, so the
    // handler can go safely.
    if (m_instance != nullptr) {
        m_instance->Release();
        m_instance = nullptr;
    }
    m_handler.reset();
}

void CCard::ConnectHost() {
    if (m_handler) {
        m_handler->Connect(PortOfDevice(m_device));
    }
}

void CCard::Disconnect() {
    if (m_handler) {
        m_handler->Disconnect();
    }
}

void CCard::SetState(int32_t status, int32_t mesId, int32_t service) {
    const int64_t wallNow = m_clock->WallSeconds();
    const int64_t steadyNow = m_clock->SteadyMilliseconds();
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_state.status == STATUS_BUSY_SESSION) {
        // Leaving a session, or a new session replacing it: the session's time
        // counts. Whole seconds go to busySeconds, the rest waits for the next one.
        const int64_t elapsedMs = std::max<int64_t>(0, steadyNow - m_steadySince);
        m_busyRemainderMs += elapsedMs;
        m_state.busySeconds += m_busyRemainderMs / MS_PER_SECOND;
        m_busyRemainderMs %= MS_PER_SECOND;
    }
    m_state.mesId = mesId;
    m_state.status = status;
    m_state.statusSince = wallNow;
    m_state.service = service;
    m_steadySince = steadyNow;
}

void CCard::SetCodeActive(bool active) {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_state.codeActive = active;
}

void CCard::SendConnectCommand() {
    Issue(CommandKind::Connect);
}

void CCard::ApplyMode() {
    Issue(CommandKind::ModeSetup);
}

void CCard::Resync() {
    Issue(CommandKind::Resync);
}

void CCard::Issue(CommandKind kind, const std::string& alsValue) {
    if (m_setupStep == SetupStep::None && m_waiting.empty()) {
        Send(WaitingCommand{kind, alsValue});
        return;
    }
    if (kind == CommandKind::ModeSetup) {
        for (const WaitingCommand& waiting : m_waiting) {
            if (waiting.kind == CommandKind::ModeSetup) {
                return;  // one setup after the running one covers every request
            }
        }
    }
    if (m_waiting.size() >= static_cast<size_t>(MAX_WAITING_COMMANDS)) {
        m_waiting.pop_front();
        if (m_handler) {
            m_handler->LogDroppedCommand();
        }
    }
    m_waiting.push_back(WaitingCommand{kind, alsValue});
}

void CCard::Send(const WaitingCommand& command) {
    if (!m_handler) {
        return;
    }
    switch (command.kind) {
        case CommandKind::Connect:
            m_handler->SendConnect(static_cast<uint32_t>(m_serialNumber));
            break;
        case CommandKind::ModeSetup:
            StartSetup();
            break;
        case CommandKind::Resync:
            m_handler->SendResync();
            break;
        case CommandKind::Als:
            m_handler->SendAls(command.alsValue);
            break;
    }
}

void CCard::StartSetup() {
    m_handler->SendModeStart();
    m_setupStep = SetupStep::FirstPause;
    m_setupDueMs = m_clock->SteadyMilliseconds() + MODE_SETUP_PAUSE_MS;
}

void CCard::RunDueCommands() {
    if (m_setupStep == SetupStep::None && m_waiting.empty()) {
        return;  // the common case, once per pass and card
    }
    const int64_t now = m_clock->SteadyMilliseconds();
    if (m_setupStep == SetupStep::FirstPause && now >= m_setupDueMs) {
        m_handler->SendModeFinish(m_mode);
        m_setupStep = SetupStep::LastPause;
        // The pause counts from the sending, not from when it was due.
        m_setupDueMs = m_clock->SteadyMilliseconds() + MODE_SETUP_PAUSE_MS;
        return;
    }
    if (m_setupStep == SetupStep::LastPause && now >= m_setupDueMs) {
        m_setupStep = SetupStep::None;
    }
    while (m_setupStep == SetupStep::None && !m_waiting.empty()) {
        const WaitingCommand next = std::move(m_waiting.front());
        m_waiting.pop_front();
        Send(next);
    }
}

bool CCard::SetupCommandsSent() const {
    if (m_setupStep == SetupStep::FirstPause) {
        return false;
    }
    for (const WaitingCommand& waiting : m_waiting) {
        if (waiting.kind == CommandKind::ModeSetup) {
            return false;
        }
    }
    return true;
}

int64_t CCard::NextDueMs() const {
    return m_setupStep == SetupStep::None ? NOTHING_DUE : m_setupDueMs;
}

void CCard::CancelWaitingCommands() {
    m_setupStep = SetupStep::None;
    m_waiting.clear();
}

void CCard::OnAlsReport(const std::string& value) {
    bool sendAnalog = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (m_state.alsPhase != 0) {
            return;  // the walk only moves forward, through the common steps
        }
        if (value == ALS_ANALOG) {
            m_state.alsPhase = 1;
        } else if (value == ALS_OFF) {
            sendAnalog = true;
        }
    }
    if (sendAnalog) {
        Issue(CommandKind::Als, ALS_ANALOG);
    }
}

void CCard::AlsDigital() {
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_state.alsPhase = 2;
    }
    Issue(CommandKind::Als, ALS_DIGITAL);
}

void CCard::AlsFinish() {
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_state.alsPhase = 3;
    }
    Issue(CommandKind::Als, ALS_FINISH);
}

CardState CCard::GetState() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_state;
}

int32_t CCard::Status() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_state.status;
}

int32_t CCard::MesId() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_state.mesId;
}

int32_t CCard::AlsPhase() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_state.alsPhase;
}

bool CCard::CodeActive() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_state.codeActive;
}
