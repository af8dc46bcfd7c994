// A card's link side: the library's callbacks made into whole queue records and log entries, and
// the card's commands formatted, sent and logged. CardSink.h tells the threads.
#include "cardlink/CardSink.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "cardlink/CardCommands.h"
#include "cardlink/EventRecord.h"
#include "cardlink/VexlinkNotes.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

// Log entry texts. The first word is padded to eight characters so that the
// entries of one card line up in the file.
constexpr const char* LOG_RECEIVE = "Receive Card %i:\n%s\n\n";
constexpr const char* LOG_SEND = "Send    Card %i:\n%s\n\n";
constexpr const char* LOG_CONNECT = "Connect Card %i:\n%s %s\n\n";
constexpr const char* LOG_TOO_LONG =
    "Drop    Card %i:\nmessage of %u bytes not queued: longer than %i bytes\n\n";
constexpr const char* LOG_QUEUE_CLOSED =
    "Drop    Card %i:\n%s record of %i bytes not queued: the queue is full and no longer read\n\n";
constexpr const char* LOG_COMMAND_DROPPED =
    "Drop    Card %i:\na command waiting behind mode setups was not sent: more than %i waited\n\n";
constexpr const char* LOG_DISCONNECT_GAVE_UP =
    "Wait    Card %i:\nno link down within %i ms of the disconnect; gave up waiting\n\n";

constexpr const char* LINK_UP_TEXT = "Up";
constexpr const char* LINK_DOWN_TEXT = "Down";

// printf into a string of whatever length the result needs.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(again);
    return text;
}

// Formats one command into a command buffer. False when the command does not
// fit: a cut XML document is never sent.
bool FormatCommand(char (&buffer)[COMMAND_BUFFER_SIZE], const char* format, const char* value) {
    const int written = std::snprintf(buffer, sizeof buffer, format, value);
    return written >= 0 && written < COMMAND_BUFFER_SIZE;
}

bool FormatCommand(char (&buffer)[COMMAND_BUFFER_SIZE], const char* format, unsigned value) {
    const int written = std::snprintf(buffer, sizeof buffer, format, value);
    return written >= 0 && written < COMMAND_BUFFER_SIZE;
}

// A header with the given fields and every other byte zero.
EventRecord MakeHeader(uint16_t type, int16_t length, int32_t card) {
    EventRecord header{};
    header.type = type;
    header.length = length;
    header.card = card;
    return header;
}

}  // namespace

// ---------------------------------------------------------------------------
// CCardSink: the link side.

void CCardSink::Init(const std::string& address, int32_t number, CCircularBuffer<char>* queue,
                     CLogger* log) {
    m_address = address;
    m_number = number;
    m_queue = queue;
    m_log = log;
    m_linkUp.store(false);
}

void CCardSink::Connect(const std::string& port) {
    if (m_instance == nullptr) {
        return;
    }
    // Logged first: the link may come up, and its entry be logged by the
    // library's thread, before the call returns.
    if (m_log != nullptr) {
        m_log->Log(Format(LOG_CONNECT, m_number, m_address.c_str(), port.c_str()));
    }
    m_instance->Connect(m_address.c_str(), port.c_str());  // success shows as OnLinkUp
}

void CCardSink::Disconnect() {
    if (m_instance == nullptr || !m_linkUp.load()) {
        return;
    }
    m_instance->Disconnect();  // OnLinkDown follows on a library thread
    // The wait is measured on the machine's steady clock rather than counted in
    // polls, so a busy machine cannot stretch it beyond the limit.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(DISCONNECT_WAIT_MS);
    while (m_linkUp.load()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            if (m_log != nullptr) {
                m_log->Log(Format(LOG_DISCONNECT_GAVE_UP, m_number, DISCONNECT_WAIT_MS));
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(DISCONNECT_POLL_MS));
    }
}

void CCardSink::OnMessage(const char* text, uint32_t length) {
    if (text == nullptr) {
        text = "";
        length = 0;
    }
    if (length > static_cast<uint32_t>(MAX_EVENT_PAYLOAD)) {
        // `length` could not describe the record; it never enters the queue.
        if (m_log != nullptr) {
            m_log->Log(Format(LOG_TOO_LONG, m_number, length, MAX_EVENT_PAYLOAD));
        }
        return;
    }
    const int32_t payload = static_cast<int32_t>(length);
    const int32_t total = EVENT_HEADER_SIZE + payload;
    EventRecord header = MakeHeader(EVT_CARD_MESSAGE, static_cast<int16_t>(total), m_number);
    const size_t addressLength =
        std::min(m_address.size(), static_cast<size_t>(EVENT_ADDRESS_SIZE - 1));
    std::memcpy(header.address, m_address.data(), addressLength);

    // Header and payload in one block, so that the record enters the queue whole.
    std::vector<char> record(static_cast<size_t>(total));
    std::memcpy(record.data(), &header, sizeof header);
    if (payload > 0) {
        std::memcpy(record.data() + EVENT_HEADER_SIZE, text, static_cast<size_t>(payload));
    }
    const bool queued = m_queue != nullptr && m_queue->Write(record.data(), total);

    if (m_log != nullptr) {
        // The entry shows the text up to its terminating NUL, and never reads past
        // the length the library gave.
        const std::string shown(text,
                                payload > 0 ? strnlen(text, static_cast<size_t>(payload)) : 0);
        m_log->Log(Format(LOG_RECEIVE, m_number, shown.c_str()));
        if (!queued) {
            m_log->Log(Format(LOG_QUEUE_CLOSED, m_number, "message", total));
        }
    }
}

void CCardSink::OnLinkUp() {
    OnLinkChange(STATUS_HOST_CONNECTED);
}

void CCardSink::OnLinkDown() {
    OnLinkChange(STATUS_NOT_CONNECTED);
}

void CCardSink::OnNotify() {
    // The designed station ignores this callback. The library calls it to say
    // why an attempt failed or (right before OnLinkDown) why the link ends;
    // the reason is kept for the core's observers, nothing else changes.
    const int32_t note = VexlinkLastNote(m_instance);
    if (m_linkUp.load()) {
        m_linkEndNote.store(note);
    } else {
        m_attemptNote.store(note);
    }
}

void CCardSink::OnLinkChange(int16_t state) {
    EventRecord header =
        MakeHeader(EVT_CARD_STATUS, static_cast<int16_t>(EVENT_HEADER_SIZE), m_number);
    header.status = state;
    const bool queued = m_queue != nullptr &&
                        m_queue->Write(reinterpret_cast<const char*>(&header), EVENT_HEADER_SIZE);
    // Set only once the record is queued: a disconnect that sees the link down
    // knows the record of it is in the queue.
    m_linkUp.store(state != 0);
    if (m_log != nullptr) {
        m_log->Log(Format(LOG_RECEIVE, m_number, state != 0 ? LINK_UP_TEXT : LINK_DOWN_TEXT));
        if (!queued) {
            m_log->Log(Format(LOG_QUEUE_CLOSED, m_number, "status", EVENT_HEADER_SIZE));
        }
    }
}

// ---------------------------------------------------------------------------
// CCardMH: the commands.

CCardMH::CCardMH(int32_t charSize) : m_charSize(charSize) {}

CCardMH::~CCardMH() = default;

void CCardMH::Send(const std::string& text) {
    if (m_instance == nullptr) {
        return;
    }
    const uint32_t bytes = static_cast<uint32_t>(text.size()) * static_cast<uint32_t>(m_charSize);
    m_instance->Send(text.c_str(), bytes);  // the result is not examined
    if (m_log != nullptr) {
        m_log->Log(Format(LOG_SEND, m_number, text.c_str()));
    }
}

void CCardMH::SendConnect(uint32_t serialNumber) {
    char command[COMMAND_BUFFER_SIZE];
    if (FormatCommand(command, CMD_CONNECT, serialNumber)) {
        Send(command);
    }
}

void CCardMH::SendAls(const std::string& value) {
    char command[COMMAND_BUFFER_SIZE];
    if (FormatCommand(command, CMD_SET_ALS, value.c_str())) {
        Send(command);
    }
}

void CCardMH::SendModeStart() {
    char command[COMMAND_BUFFER_SIZE];
    if (FormatCommand(command, CMD_SET_CODE_OQPSK, CODE_NO_MODE)) {
        Send(command);
    }
}

void CCardMH::SendModeFinish(int32_t mode) {
    Send(CMD_SET_CONFIGURATION);
    // Only the four modes have a keyword; the string table holds other texts
    // next to them.
    const std::string keyword =
        mode >= 0 && mode < SAT_MODE_COUNT ? LoadResourceString(IDS_MODE_BASE + mode) : "";
    char command[COMMAND_BUFFER_SIZE];
    if (mode == MODE_SAT_C_TDM) {
        if (FormatCommand(command, CMD_SET_CODE_BPSK, keyword.c_str())) {
            Send(command);
            Send(command);
        }
    } else if (FormatCommand(command, CMD_SET_CODE_OQPSK, keyword.c_str())) {
        Send(command);
    }
}

void CCardMH::LogDroppedCommand() {
    if (m_log != nullptr) {
        m_log->Log(Format(LOG_COMMAND_DROPPED, m_number, MAX_WAITING_COMMANDS));
    }
}

void CCardMH::SendResync() {
    Send(CMD_START_RESYNC);
}
