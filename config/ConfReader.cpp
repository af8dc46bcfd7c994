// The reader of OrvaneSystemDx.ini: the sections of the shared walk made into the
// station's configuration, with a message for each one rejected.
#include "config/ConfReader.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "config/Notifier.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

constexpr const char* DECIMAL_DIGITS = "0123456789";

constexpr const char* MSG_CANT_OPEN = "Can't open ";
constexpr const char* MSG_CANT_OPEN_END = ".";
constexpr const char* MSG_TOO_MANY_CARDS = "Maximum of ";
constexpr const char* MSG_TOO_MANY_CARDS_END =
    " cards allowed. Ignoring cards specified in excess!";
constexpr const char* MSG_SEVERAL_ALS = "Ignoring multiple ALS period specifications!";
constexpr const char* MSG_SEVERAL_LOGS = "Ignoring multiple log sampling interval specifications!";
constexpr const char* MSG_NAME_SEPARATOR = ": ";
constexpr const char* MSG_ADDRESS_MISSING = "Error in address specification!";
constexpr const char* MSG_SERIAL_MISSING = "Error in serial number specification!";
constexpr const char* MSG_SERIAL_INVALID = "Invalid serial number!";
constexpr const char* MSG_SERIAL_DUPLICATE = "Duplicate serial number ";
constexpr const char* MSG_MODE_MISSING = "Error in mode specification!";
constexpr const char* MSG_MODE_INVALID = "Invalid mode!";
constexpr const char* MSG_DEVICE_MISSING = "Error in device specification!";
constexpr const char* MSG_DEVICE_INVALID = "Invalid device!";
constexpr const char* MSG_MESID_MISSING = "Error in message ID specification!";
constexpr const char* MSG_MESID_INVALID = "Invalid message ID: ";
constexpr const char* MSG_ALS_MISSING = "Error in ALS period specification!";
constexpr const char* MSG_ALS_INVALID = "Invalid ALS period: ";
constexpr const char* MSG_LOG_MISSING = "Error in log sampling interval specification!";
constexpr const char* MSG_LOG_INVALID = "Invalid log sampling interval: ";
constexpr const char* MSG_VALUE_END = "!";

// The blanks that atoi passes over before a number.
bool IsNumberBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads `text` as atoi does: leading blanks, an optional sign, then decimal digits up
// to the first non-digit; text that does not begin with a number reads as 0. Returns
// false, leaving `value` alone, when the number lies outside the 32-bit signed range.
bool ReadInteger(const std::string& text, int32_t& value) {
    std::size_t pos = 0;
    while (pos < text.size() && IsNumberBlank(text[pos])) {
        ++pos;
    }
    const std::optional<ConfNumber> number = ReadConfNumber(text, pos);
    if (!number) {
        return false;
    }
    value = number->value;
    return true;
}

// The index of the first keyword from string resource `base` on that equals `value`
// exactly, letter case included; -1 when none does.
int32_t LookupKeyword(const std::string& value, int base, int32_t count) {
    for (int32_t index = 0; index < count; ++index) {
        if (value == LoadResourceString(base + index)) {
            return index;
        }
    }
    return -1;
}

// Reads one period ("period = n;") into `period`: -1 when the value is missing, negative
// or beyond the 32-bit range, each with its message.
void ReadPeriod(const MessageHandler& show, const std::string& line, const char* missingMessage,
                const char* invalidMessage, int32_t& period) {
    const std::string value = CConfReader::GetValue(CONF_KEY_PERIOD, line);
    if (value.empty()) {
        show(missingMessage);
        period = -1;
        return;
    }
    int32_t number = -1;
    if (!ReadInteger(value, number) || number < 0) {
        show(invalidMessage + value + MSG_VALUE_END);
        period = -1;
        return;
    }
    period = number;
}

}  // namespace

CConfReader::CConfReader(std::string path, MessageHandler show)
    : m_show(show ? std::move(show) : MessageHandler(ShowMessage)) {
    if (!m_file.Open(path, CONF_FILE_READ_LIMIT)) {
        m_show(MSG_CANT_OPEN + path + MSG_CANT_OPEN_END);
        return;
    }

    // A section the end of the file cuts short is dropped without a message.
    CConfWalker walker([this] { return m_file.Next(); });
    ConfSection section;
    while (walker.Next(section) && section.complete) {
        switch (section.kind) {
            case SECTION_CARD:
                if (m_cards.size() >= static_cast<std::size_t>(MAX_CARDS)) {
                    if (!m_toldTooManyCards) {
                        m_toldTooManyCards = true;
                        m_show(MSG_TOO_MANY_CARDS + std::to_string(MAX_CARDS) +
                               MSG_TOO_MANY_CARDS_END);
                    }
                } else {
                    ParseCardSection(section);
                }
                break;
            case SECTION_WATCH:
                ParseWatchSection(section);
                break;
            case SECTION_ALS:
                if (m_alsPeriod != -1) {
                    if (!m_toldSeveralAls) {
                        m_toldSeveralAls = true;
                        m_show(MSG_SEVERAL_ALS);
                    }
                } else {
                    ParseAlsSection(section);
                }
                break;
            case SECTION_LOG:
                if (m_logInterval != -1) {
                    if (!m_toldSeveralLogs) {
                        m_toldSeveralLogs = true;
                        m_show(MSG_SEVERAL_LOGS);
                    }
                } else {
                    ParseLogSection(section);
                }
                break;
            case SECTION_NONE:
                break;
        }
    }
}

CConfReader::~CConfReader() = default;

void CConfReader::GetCards(std::vector<CardConfig>& cards) const {
    cards = m_cards;
}

void CConfReader::GetWatchList(std::vector<int32_t>& watchList) const {
    watchList = m_watchList;
}

int32_t CConfReader::GetAlsPeriod() const {
    return m_alsPeriod;
}

int32_t CConfReader::GetLogInterval() const {
    return m_logInterval;
}

std::string CConfReader::GetValue(const std::string& key, const std::string& line) {
    ConfValue found = LocateConfValue(key, line);
    return found.outcome == ConfValue::VALUE ? std::move(found.value) : std::string();
}

SectionKind CConfReader::ClassifySection(const std::string& name) {
    return ClassifyConfSection(name);
}

void CConfReader::ParseCardSection(const ConfSection& section) {
    const std::string& name = section.name;
    const auto reject = [this, &name](const std::string& text) {
        m_show(name + MSG_NAME_SEPARATOR + text);
    };

    CardConfig card;
    card.address = GetValue(CONF_KEY_ADDRESS, section.lines[0].text);
    card.serialText = GetValue(CONF_KEY_SERIALNO, section.lines[1].text);
    card.modeText = GetValue(CONF_KEY_MODE, section.lines[2].text);
    card.deviceText = GetValue(CONF_KEY_DEVICE, section.lines[3].text);

    if (card.address.empty()) {
        reject(MSG_ADDRESS_MISSING);
        return;
    }
    if (card.serialText.empty()) {
        reject(MSG_SERIAL_MISSING);
        return;
    }
    if (card.serialText.find_first_not_of(DECIMAL_DIGITS) != std::string::npos ||
        !ReadInteger(card.serialText, card.serialNumber) || card.serialNumber == 0) {
        reject(MSG_SERIAL_INVALID);
        return;
    }
    if (IsSerialKnown(card.serialNumber)) {
        reject(MSG_SERIAL_DUPLICATE + card.serialText);
        return;
    }
    if (card.modeText.empty()) {
        reject(MSG_MODE_MISSING);
        return;
    }
    card.mode = LookupMode(card.modeText);
    if (card.mode == -1) {
        reject(MSG_MODE_INVALID);
        return;
    }
    if (card.deviceText.empty()) {
        reject(MSG_DEVICE_MISSING);
        return;
    }
    card.device = LookupDevice(card.deviceText);
    if (card.device == -1) {
        reject(MSG_DEVICE_INVALID);
        return;
    }
    m_cards.push_back(std::move(card));
}

void CConfReader::ParseWatchSection(const ConfSection& section) {
    const std::string value = GetValue(CONF_KEY_MESID, section.lines[0].text);
    if (value.empty()) {
        m_show(MSG_MESID_MISSING);
        return;
    }
    int32_t mesId = -1;
    if (!ReadInteger(value, mesId) || mesId < 0) {
        m_show(MSG_MESID_INVALID + value + MSG_VALUE_END);
        return;
    }
    if (std::find(m_watchList.begin(), m_watchList.end(), mesId) == m_watchList.end()) {
        m_watchList.push_back(mesId);
    }
}

void CConfReader::ParseAlsSection(const ConfSection& section) {
    ReadPeriod(m_show, section.lines[0].text, MSG_ALS_MISSING, MSG_ALS_INVALID, m_alsPeriod);
}

void CConfReader::ParseLogSection(const ConfSection& section) {
    ReadPeriod(m_show, section.lines[0].text, MSG_LOG_MISSING, MSG_LOG_INVALID, m_logInterval);
}

bool CConfReader::IsSerialKnown(int32_t serialNumber) const {
    return std::any_of(m_cards.begin(), m_cards.end(), [serialNumber](const CardConfig& card) {
        return card.serialNumber == serialNumber;
    });
}

int32_t CConfReader::LookupMode(const std::string& value) {
    return LookupKeyword(value, IDS_MODE_BASE, SAT_MODE_COUNT);
}

int32_t CConfReader::LookupDevice(const std::string& value) {
    return LookupKeyword(value, IDS_DEVICE_BASE, DEVICE_MODEL_COUNT);
}
