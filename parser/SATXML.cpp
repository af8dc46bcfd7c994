// Card message parser: first-occurrence substring searches over the message.
//
// Every search result is a position into the text it was searched in, and each
// use of a position is clamped to that text: a key at the very end leaves an
// empty remainder, a fixed-width field near the end of a record is compared
// with the characters that are actually there (and so matches no code), and
// nothing is ever read past the end of a record or of a message. A NUL inside
// a std::string is an ordinary character here; the dispatch thread has already
// cut each message at its first NUL.
#include "parser/SATXML.h"

#include <array>
#include <cstddef>
#include <limits>
#include <utility>

#include "resources/OrvaneTypes.h"

namespace {

constexpr std::size_t npos = std::string_view::npos;

// A Cards information message yields the serial numbers of at most this many
// Card elements; further elements are ignored.
constexpr int MAX_CARD_PASSES = 8;
// The opening quote that follows each attribute key; it is skipped unseen.
constexpr std::size_t ATTRIBUTE_QUOTE_WIDTH = 1;
constexpr char QUOTE = '"';
constexpr std::string_view NAME_ATTRIBUTE = "name";
constexpr std::string_view VALUE_ATTRIBUTE = "value";
constexpr std::string_view SELF_CLOSE = "/>";

// Widths of the traffic record fields that are read after their keys.
constexpr std::size_t MODE_WIDTH = 2;
constexpr std::size_t SERVICE_SHORT_WIDTH = 4;
constexpr std::size_t SERVICE_LONG_WIDTH = 8;
constexpr std::size_t EVENT_WIDTH = 3;
constexpr std::size_t MES_ID_WIDTH = 8;

struct Code {
    std::string_view text;
    int32_t value;
};

// Code tables of the traffic records; comparisons are exact and case-sensitive.
constexpr std::array<Code, 4> MODE_CODES{{
    {" B", MODE_SAT_B},
    {" M", MODE_SAT_M},
    {"mM", MODE_SAT_MINI_M},
    {" C", MODE_SAT_C_TDM},
}};
constexpr int32_t MODE_OTHERWISE = MODE_SAT_B;

// The 4-character codes are tried before the 8-character ones.
constexpr std::array<Code, 4> SERVICE_SHORT_CODES{{
    {"TEL ", SERVICE_TELEPHONE},
    {"DATA", SERVICE_DATA},
    {"FAX ", SERVICE_FAX},
    {"ISDN", SERVICE_ISDN},
}};
constexpr std::array<Code, 2> SERVICE_LONG_CODES{{
    {"TELEX SM", SERVICE_TELEX_SM},
    {"TELEX MM", SERVICE_TELEX_MM},
}};

constexpr std::array<Code, 5> EVENT_CODES{{
    {"ccs", EV_CCS},
    {"srt", EV_START},
    {"ann", EV_ANN},
    {"ass", EV_ASS},
    {"end", EV_END},
}};

// The text from `pos` on; empty when `pos` lies at or beyond the end.
std::string_view From(std::string_view text, std::size_t pos) {
    return pos < text.size() ? text.substr(pos) : std::string_view{};
}

// The value of the code that the first `width` characters of `text` spell;
// `otherwise` when they spell none, or when fewer characters are left.
template <std::size_t N>
int32_t Lookup(const std::array<Code, N>& table, std::string_view text, std::size_t width,
               int32_t otherwise) {
    const std::string_view field = text.substr(0, width);
    for (const Code& code : table) {
        if (field == code.text) {
            return code.value;
        }
    }
    return otherwise;
}

// White space as the C library's isspace sees it in the "C" locale.
bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The decimal number at the head of `text`, read as atoi and strtol (base 10)
// read it: leading white space, an optional sign, then digits up to the first
// other character; 0 when there are no digits. A value outside 32 bits
// saturates at the nearest limit (atoi leaves that case undefined).
int32_t DecimalValue(std::string_view text) {
    constexpr int64_t MAX = std::numeric_limits<int32_t>::max();
    constexpr int64_t MIN = std::numeric_limits<int32_t>::min();
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude <= MAX) {  // beyond that the value saturates anyway
            magnitude = magnitude * 10 + (text[i] - '0');
        }
    }
    if (negative) {
        return magnitude >= -MIN ? static_cast<int32_t>(MIN) : static_cast<int32_t>(-magnitude);
    }
    return magnitude >= MAX ? static_cast<int32_t>(MAX) : static_cast<int32_t>(magnitude);
}

}  // namespace

CSATXML::CSATXML() = default;

CSATXML::~CSATXML() = default;

bool CSATXML::ParseCardsInformation(const std::string& message, std::vector<int32_t>& list) {
    std::string_view content;
    std::string_view information;
    std::string_view cards;
    if (!ExtractElement(message, m_messageTag, content) ||
        !ExtractElement(content, m_informationTag, information) ||
        !ExtractElement(information, m_cardsTag, cards)) {
        return false;
    }
    ParseCardList(cards, list);
    return true;
}

bool CSATXML::ParseParameterList(const std::string& message, std::vector<ParameterEntry>& list) {
    list.clear();
    std::string_view content;
    std::string_view information;
    std::string_view parameters;
    if (!ExtractElement(message, m_messageTag, content) ||
        !ExtractElement(content, m_informationTag, information) ||
        !ExtractElement(information, m_parameterListTag, parameters)) {
        return false;
    }
    for (const std::string_view element : SplitElements(m_parameterTag, parameters)) {
        ParameterEntry entry;
        ParseNameValue(element, entry);
        list.push_back(std::move(entry));
    }
    return true;
}

bool CSATXML::ParseDataText(const std::string& message) {
    std::string_view content;
    std::string_view data;
    std::string_view text;
    if (!ExtractElement(message, m_messageTag, content) ||
        !ExtractElement(content, m_dataTag, data) || !ExtractElement(data, m_textTag, text)) {
        return false;
    }
    // Copied before the assignment: the caller may have passed Text() itself.
    m_text = std::string(text);
    return true;
}

// Keys are searched one after the other, each in the text that follows the
// previous key itself, its fixed-width value included: "MODE:SERV:DATA" finds
// "SERV:" where the mode's two characters stand. A key that the record lacks
// gives 0 for its field and leaves the cursor where it stood, so the following
// keys are still searched from there: a record without "SERV:" still yields
// its event and MES ID.
bool CSATXML::NextTrafficRecord(int32_t& mode, int32_t& service, int32_t& event, int32_t& mesId) {
    mode = 0;
    service = 0;
    event = 0;
    mesId = 0;
    const std::string record = NextRecordText();
    if (record.empty()) {
        return false;
    }

    // The record starts with its mode key.
    std::string_view cursor = From(record, m_modeKey.size());
    mode = Lookup(MODE_CODES, cursor, MODE_WIDTH, MODE_OTHERWISE);

    if (const std::size_t pos = cursor.find(m_serviceKey); pos != npos) {
        cursor = From(cursor, pos + m_serviceKey.size());
        service = Lookup(SERVICE_SHORT_CODES, cursor, SERVICE_SHORT_WIDTH, SERVICE_NONE);
        if (service == SERVICE_NONE) {
            service = Lookup(SERVICE_LONG_CODES, cursor, SERVICE_LONG_WIDTH, SERVICE_NONE);
        }
    }

    if (const std::size_t pos = cursor.find(m_eventKey); pos != npos) {
        cursor = From(cursor, pos + m_eventKey.size());
        event = Lookup(EVENT_CODES, cursor, EVENT_WIDTH, EV_NONE);
    }

    if (event == EV_START) {
        if (const std::size_t pos = cursor.find(m_mesIdKey); pos != npos) {
            cursor = From(cursor, pos + m_mesIdKey.size());
            mesId = DecimalValue(cursor.substr(0, MES_ID_WIDTH));
        }
    }
    return true;
}

// The opening tag matches as a prefix ("<Data" also opens "<DataSet ...>"),
// its attributes are skipped up to the first ">", and the first closing tag
// ends the content, so an element cannot hold one of its own name.
bool CSATXML::ExtractElement(std::string_view source, std::string_view tag,
                             std::string_view& out) const {
    std::string open = "<";
    open += tag;
    std::string close = "</";
    close += tag;
    close += ">";

    const std::size_t openPos = source.find(open);
    if (openPos == npos) {
        return false;
    }
    const std::size_t tagEnd = source.find('>', openPos);
    if (tagEnd == npos) {
        return false;
    }
    const std::string_view rest = From(source, tagEnd + 1);
    const std::size_t closePos = rest.find(close);
    if (closePos == npos) {
        return false;
    }
    out = rest.substr(0, closePos);
    return true;
}

// Each pass takes one "Card number=" and the first "serial-nr=" after it,
// wherever that stands: a Card element without a serial number lends its pass
// to the serial number of the element after it. An empty or unterminated
// serial number ends the whole list.
void CSATXML::ParseCardList(std::string_view cardsText, std::vector<int32_t>& list) const {
    std::string_view s = cardsText;
    for (int pass = 0; pass < MAX_CARD_PASSES; ++pass) {
        const std::size_t cardPos = s.find(m_cardNumberKey);
        if (cardPos == npos) {
            return;  // later passes would search the same text in vain
        }
        s = From(s, cardPos + m_cardNumberKey.size() + ATTRIBUTE_QUOTE_WIDTH);

        const std::size_t serialPos = s.find(m_serialKey);
        if (serialPos == npos) {
            continue;
        }
        s = From(s, serialPos + m_serialKey.size() + ATTRIBUTE_QUOTE_WIDTH);

        const std::size_t quotePos = s.find(QUOTE);
        if (quotePos == 0 || quotePos == npos) {
            return;
        }
        list.push_back(DecimalValue(s.substr(0, quotePos)));
    }
}

// Only self-closing elements are produced, each up to and including its "/";
// an opening tag with no "/>" after it ends the splitting.
std::vector<std::string_view> CSATXML::SplitElements(std::string_view tag,
                                                     std::string_view text) const {
    std::string open = "<";
    open += tag;

    std::vector<std::string_view> elements;
    std::string_view rest = text;
    for (std::size_t openPos = rest.find(open); openPos != npos; openPos = rest.find(open)) {
        rest = rest.substr(openPos);
        const std::size_t closePos = rest.find(SELF_CLOSE);
        if (closePos == npos) {
            break;
        }
        elements.push_back(rest.substr(0, closePos + 1));
        rest = From(rest, closePos + SELF_CLOSE.size());
    }
    return elements;
}

// "name" must come before "value": the value is searched only after the
// name's closing quote. Whatever is not found stays as it was in `entry`.
void CSATXML::ParseNameValue(std::string_view elementText, ParameterEntry& entry) const {
    const std::size_t namePos = elementText.find(NAME_ATTRIBUTE);
    if (namePos == npos) {
        return;
    }
    std::string_view s = From(elementText, namePos + NAME_ATTRIBUTE.size());
    std::size_t q1 = s.find(QUOTE);
    if (q1 == npos) {
        return;
    }
    std::size_t q2 = s.find(QUOTE, q1 + 1);
    if (q2 == npos) {
        return;
    }
    entry.name = std::string(s.substr(q1 + 1, q2 - q1 - 1));

    s = s.substr(q2);
    const std::size_t valuePos = s.find(VALUE_ATTRIBUTE);
    if (valuePos == npos) {
        return;
    }
    s = From(s, valuePos + VALUE_ATTRIBUTE.size());
    q1 = s.find(QUOTE);
    if (q1 == npos) {
        return;
    }
    q2 = s.find(QUOTE, q1 + 1);
    if (q2 == npos) {
        return;
    }
    entry.value = std::string(s.substr(q1 + 1, q2 - q1 - 1));
}

// A record runs from a "MODE:" up to the next ";". The terminator stays at the
// head of the stored text (the next search for "MODE:" passes over it); text
// before a "MODE:" is dropped with the record, and a final record without ";"
// stays stored until the next traffic text replaces it.
std::string CSATXML::NextRecordText() {
    const std::size_t start = m_text.find(m_modeKey);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t end = m_text.find(m_recordTerminator, start);
    if (end == std::string::npos) {
        return {};
    }
    std::string record = m_text.substr(start, end - start);
    m_text.erase(0, end);
    return record;
}
