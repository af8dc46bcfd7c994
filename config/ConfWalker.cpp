// The configuration file's walk and its line, value and number rules.
#include "config/ConfWalker.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr char SECTION_OPEN = '[';
constexpr char SECTION_CLOSE = ']';
constexpr char LINE_FEED = '\n';
constexpr char CARRIAGE_RETURN = '\r';
constexpr char KEY_VALUE_SEPARATOR = '=';
constexpr char VALUE_END = ';';
constexpr const char* VALUE_LEADING_BLANKS = " \t";
constexpr const char* VALUE_TERMINATORS = "; \t\n";

struct SectionRule {
    const char* tag;  // the section name contains this
    SectionKind kind;
    std::size_t countedLines;
};

// Tried in this order; the first tag found in the name wins.
constexpr SectionRule SECTION_RULES[] = {
    {"card_", SECTION_CARD, CONF_CARD_KEYS.size()},
    {"watch", SECTION_WATCH, 1},
    {"als", SECTION_ALS, 1},
    {"log", SECTION_LOG, 1},
};

constexpr std::size_t NONE_COUNTED_LINES = 0;

char FoldLetter(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::size_t CountedLines(SectionKind kind) {
    for (const SectionRule& rule : SECTION_RULES) {
        if (rule.kind == kind) {
            return rule.countedLines;
        }
    }
    return NONE_COUNTED_LINES;
}

}  // namespace

CConfWalker::CConfWalker(Source next) : m_next(std::move(next)) {}

bool CConfWalker::Next(ConfSection& section) {
    section = ConfSection{};
    if (!m_started) {
        m_started = true;
        SkipPastBracket();
    }
    if (m_atEnd) {
        return false;
    }
    ReadLine(section.header);
    section.name = FoldConfText(section.header.text);
    const std::size_t close = section.name.find(SECTION_CLOSE);
    if (close != std::string::npos) {
        section.name.erase(close);
    }
    section.kind = ClassifyConfSection(section.name);
    section.wanted = CountedLines(section.kind);
    for (std::size_t index = 0; index < section.wanted; ++index) {
        if (m_atEnd) {
            return true;  // cut short: complete stays false, and the walk ends here
        }
        ConfLine line;
        ReadLine(line);
        section.lines.push_back(std::move(line));
    }
    section.complete = true;
    SkipPastBracket();
    return true;
}

void CConfWalker::SkipPastBracket() {
    for (;;) {
        const int next = m_next();
        if (next == END) {
            m_atEnd = true;
            return;
        }
        const char c = static_cast<char>(next);
        if (c == LINE_FEED) {
            ++m_line;
        } else if (c == SECTION_OPEN) {
            return;
        }
    }
}

void CConfWalker::ReadLine(ConfLine& line) {
    line.number = m_line;
    line.text.clear();
    line.atFileEnd = false;
    // One byte beyond the limit is kept so that a CR right before the line feed can
    // be told apart.
    bool whole = true;
    for (bool first = true;; first = false) {
        const int next = m_next();
        if (next == END) {
            m_atEnd = true;
            line.atFileEnd = first;
            break;
        }
        const char c = static_cast<char>(next);
        if (c == LINE_FEED) {
            ++m_line;
            if (whole && !line.text.empty() && line.text.back() == CARRIAGE_RETURN) {
                line.text.pop_back();
            }
            break;
        }
        if (whole && c != '\0' && line.text.size() <= CONF_MAX_LINE_LENGTH) {
            line.text.push_back(c);
        } else {
            whole = false;
        }
    }
    if (line.text.size() > CONF_MAX_LINE_LENGTH) {
        line.text.resize(CONF_MAX_LINE_LENGTH);
    }
}

std::string FoldConfText(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), FoldLetter);
    return text;
}

SectionKind ClassifyConfSection(const std::string& name) {
    for (const SectionRule& rule : SECTION_RULES) {
        if (name.find(rule.tag) != std::string::npos) {
            return rule.kind;
        }
    }
    return SECTION_NONE;
}

ConfValue LocateConfValue(const std::string& key, const std::string& line) {
    ConfValue result;
    const std::size_t firstSeparator = line.find(KEY_VALUE_SEPARATOR);
    if (firstSeparator == std::string::npos) {
        result.outcome = ConfValue::NO_EQUALS;
        return result;
    }
    std::string folded = line;
    std::transform(folded.begin(), folded.begin() + static_cast<std::ptrdiff_t>(firstSeparator),
                   folded.begin(), FoldLetter);
    const std::size_t keyPos = folded.find(key);
    const std::size_t separator =
        keyPos == std::string::npos ? std::string::npos : folded.find(KEY_VALUE_SEPARATOR, keyPos);
    if (separator == std::string::npos) {
        result.outcome = ConfValue::NO_KEY;
        return result;
    }
    result.begin = folded.find_first_not_of(VALUE_LEADING_BLANKS, separator + 1);
    // A terminator right after the blanks gives an empty value: missing.
    if (result.begin == std::string::npos || folded[result.begin] == VALUE_END) {
        result.outcome = ConfValue::NOTHING_AFTER;
        return result;
    }
    result.end = folded.find_first_of(VALUE_TERMINATORS, result.begin);
    if (result.end == std::string::npos) {
        result.outcome = ConfValue::NO_TERMINATOR;
        result.value = folded.substr(result.begin);
        return result;
    }
    result.outcome = ConfValue::VALUE;
    result.value = folded.substr(result.begin, result.end - result.begin);
    return result;
}

std::optional<ConfNumber> ReadConfNumber(const std::string& text, std::size_t from) {
    constexpr int64_t MAGNITUDE_CAP = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    ConfNumber number;
    std::size_t pos = from;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > MAGNITUDE_CAP) {
            return std::nullopt;
        }
        ++number.digits;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max() ||
        value < std::numeric_limits<int32_t>::min()) {
        return std::nullopt;
    }
    number.value = static_cast<int32_t>(value);
    number.consumed = number.digits == 0 ? 0 : pos;
    return number;
}
