#include "config/ConfReader.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

#include "config/Notifier.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

// Reading follows the character stream, never the file as a whole:
//
//   ... skipped ... [header line          <- folded, cut before "]", kept as element 0
//                   counted line 1        <- as many as the kind asks for, taken as they stand
//                   ...
//                   counted line n
//   ... skipped ... [next header line
//
// The end of the file counts as reached once a read has run into it, so a last line
// without a line feed is still read whole and the end shows only at the next check;
// a read that starts right at the end yields an empty line. A section that the end
// cuts short is dropped without a message.

namespace {

// The longest header or counted line kept; the rest of a longer line is skipped so
// that reading stays aligned on lines.
constexpr std::size_t MAX_LINE_LENGTH = 119;

constexpr char SECTION_OPEN = '[';
constexpr char SECTION_CLOSE = ']';
constexpr char LINE_FEED = '\n';
constexpr char CARRIAGE_RETURN = '\r';
constexpr char KEY_VALUE_SEPARATOR = '=';
constexpr const char* VALUE_LEADING_BLANKS = " \t";
constexpr const char* VALUE_TERMINATORS = "; \t\n";
constexpr const char* DECIMAL_DIGITS = "0123456789";

struct SectionRule {
    const char* tag;  // the section name contains this
    SectionKind kind;
    int countedLines;
};

// Tried in this order; the first tag found in the name wins.
constexpr SectionRule SECTION_RULES[] = {
    {"card_", SECTION_CARD, 4},
    {"watch", SECTION_WATCH, 1},
    {"als", SECTION_ALS, 1},
    {"log", SECTION_LOG, 1},
};

// A section of no known kind is not interpreted: it takes no lines and reading
// skips on to the next "[".
constexpr int NONE_COUNTED_LINES = 0;

constexpr const char* KEY_ADDRESS = "address";
constexpr const char* KEY_SERIALNO = "serialno";
constexpr const char* KEY_MODE = "mode";
constexpr const char* KEY_DEVICE = "device";
constexpr const char* KEY_MESID = "mesid";
constexpr const char* KEY_PERIOD = "period";

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

// Letters A to Z only; every other byte, those above 127 included, stays as it is.
char FoldLetter(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The blanks that atoi passes over before a number.
bool IsNumberBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads `text` as atoi does: leading blanks, an optional sign, then decimal digits up
// to the first non-digit; text that does not begin with a number reads as 0. Returns
// false, leaving `value` alone, when the number lies outside the 32-bit signed range;
// the digits are accumulated against a cap, so no length of input overflows.
bool ReadInteger(const std::string& text, int32_t& value) {
    constexpr int64_t MAGNITUDE_CAP = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    std::size_t pos = 0;
    while (pos < text.size() && IsNumberBlank(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int64_t magnitude = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > MAGNITUDE_CAP) {
            return false;
        }
    }
    const int64_t number = negative ? -magnitude : magnitude;
    if (number > std::numeric_limits<int32_t>::max() ||
        number < std::numeric_limits<int32_t>::min()) {
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

int CountedLines(SectionKind kind) {
    for (const SectionRule& rule : SECTION_RULES) {
        if (rule.kind == kind) {
            return rule.countedLines;
        }
    }
    return NONE_COUNTED_LINES;
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
void ReadPeriod(const std::string& line, const char* missingMessage, const char* invalidMessage,
                int32_t& period) {
    const std::string value = CConfReader::GetValue(KEY_PERIOD, line);
    if (value.empty()) {
        ShowMessage(missingMessage);
        period = -1;
        return;
    }
    int32_t number = -1;
    if (!ReadInteger(value, number) || number < 0) {
        ShowMessage(invalidMessage + value + MSG_VALUE_END);
        period = -1;
        return;
    }
    period = number;
}

}  // namespace

CConfReader::CConfReader(std::string path) {
    if (!m_file.Open(path, CONF_FILE_READ_LIMIT)) {
        ShowMessage(MSG_CANT_OPEN + path + MSG_CANT_OPEN_END);
        return;
    }

    SkipPastBracket();
    while (ReadSection()) {
        switch (ClassifySection(m_section[0])) {
            case SECTION_CARD:
                if (m_cards.size() >= static_cast<std::size_t>(MAX_CARDS)) {
                    if (!m_toldTooManyCards) {
                        m_toldTooManyCards = true;
                        ShowMessage(MSG_TOO_MANY_CARDS + std::to_string(MAX_CARDS) +
                                    MSG_TOO_MANY_CARDS_END);
                    }
                } else {
                    ParseCardSection();
                }
                break;
            case SECTION_WATCH:
                ParseWatchSection();
                break;
            case SECTION_ALS:
                if (m_alsPeriod != -1) {
                    if (!m_toldSeveralAls) {
                        m_toldSeveralAls = true;
                        ShowMessage(MSG_SEVERAL_ALS);
                    }
                } else {
                    ParseAlsSection();
                }
                break;
            case SECTION_LOG:
                if (m_logInterval != -1) {
                    if (!m_toldSeveralLogs) {
                        m_toldSeveralLogs = true;
                        ShowMessage(MSG_SEVERAL_LOGS);
                    }
                } else {
                    ParseLogSection();
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
    const std::size_t firstSeparator = line.find(KEY_VALUE_SEPARATOR);
    if (firstSeparator == std::string::npos) {
        return {};
    }
    std::string folded = line;
    std::transform(folded.begin(), folded.begin() + static_cast<std::ptrdiff_t>(firstSeparator),
                   folded.begin(), FoldLetter);

    const std::size_t keyPos = folded.find(key);
    if (keyPos == std::string::npos) {
        return {};
    }
    const std::size_t separator = folded.find(KEY_VALUE_SEPARATOR, keyPos);
    if (separator == std::string::npos) {
        return {};
    }
    const std::size_t begin = folded.find_first_not_of(VALUE_LEADING_BLANKS, separator + 1);
    if (begin == std::string::npos) {
        return {};
    }
    const std::size_t end = folded.find_first_of(VALUE_TERMINATORS, begin);
    if (end == std::string::npos) {
        return {};
    }
    return folded.substr(begin, end - begin);
}

SectionKind CConfReader::ClassifySection(const std::string& name) {
    for (const SectionRule& rule : SECTION_RULES) {
        if (name.find(rule.tag) != std::string::npos) {
            return rule.kind;
        }
    }
    return SECTION_NONE;
}

bool CConfReader::ReadSection() {
    m_section.clear();
    if (m_atEnd) {
        return false;
    }
    std::string name;
    ReadLine(name);
    std::transform(name.begin(), name.end(), name.begin(), FoldLetter);
    const std::size_t close = name.find(SECTION_CLOSE);
    if (close != std::string::npos) {
        name.erase(close);
    }
    m_section.push_back(std::move(name));

    const int countedLines = CountedLines(ClassifySection(m_section[0]));
    for (int index = 0; index < countedLines; ++index) {
        if (m_atEnd) {
            return false;
        }
        std::string line;
        ReadLine(line);
        m_section.push_back(std::move(line));
    }
    SkipPastBracket();
    return true;
}

void CConfReader::ReadLine(std::string& line) {
    line.clear();
    // The kept text is the line as a C string would see it: it stops at a NUL. One byte
    // beyond the limit is kept so that a CR right before the line feed can be told apart.
    bool whole = true;
    for (;;) {
        const int next = m_file.Next();
        if (next == CRegularFileReader::END) {
            m_atEnd = true;
            break;
        }
        const char c = static_cast<char>(next);
        if (c == LINE_FEED) {
            if (whole && !line.empty() && line.back() == CARRIAGE_RETURN) {
                line.pop_back();
            }
            break;
        }
        if (whole && c != '\0' && line.size() <= MAX_LINE_LENGTH) {
            line.push_back(c);
        } else {
            whole = false;
        }
    }
    if (line.size() > MAX_LINE_LENGTH) {
        line.resize(MAX_LINE_LENGTH);
    }
}

void CConfReader::SkipPastBracket() {
    for (;;) {
        const int next = m_file.Next();
        if (next == CRegularFileReader::END) {
            m_atEnd = true;
            return;
        }
        if (static_cast<char>(next) == SECTION_OPEN) {
            return;
        }
    }
}

void CConfReader::ParseCardSection() {
    const std::string& name = m_section[0];
    const auto reject = [&name](const std::string& text) {
        ShowMessage(name + MSG_NAME_SEPARATOR + text);
    };

    CardConfig card;
    card.address = GetValue(KEY_ADDRESS, m_section[1]);
    card.serialText = GetValue(KEY_SERIALNO, m_section[2]);
    card.modeText = GetValue(KEY_MODE, m_section[3]);
    card.deviceText = GetValue(KEY_DEVICE, m_section[4]);

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

void CConfReader::ParseWatchSection() {
    const std::string value = GetValue(KEY_MESID, m_section[1]);
    if (value.empty()) {
        ShowMessage(MSG_MESID_MISSING);
        return;
    }
    int32_t mesId = -1;
    if (!ReadInteger(value, mesId) || mesId < 0) {
        ShowMessage(MSG_MESID_INVALID + value + MSG_VALUE_END);
        return;
    }
    if (std::find(m_watchList.begin(), m_watchList.end(), mesId) == m_watchList.end()) {
        m_watchList.push_back(mesId);
    }
}

void CConfReader::ParseAlsSection() {
    ReadPeriod(m_section[1], MSG_ALS_MISSING, MSG_ALS_INVALID, m_alsPeriod);
}

void CConfReader::ParseLogSection() {
    ReadPeriod(m_section[1], MSG_LOG_MISSING, MSG_LOG_INVALID, m_logInterval);
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
