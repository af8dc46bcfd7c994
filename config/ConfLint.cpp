#include "config/ConfLint.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <system_error>
#include <utility>

#include "config/ConfReader.h"
#include "config/RegularFileReader.h"

// The walk below repeats the reader's walk over the characters (first "[",
// header line, counted lines, skip to the next "[") with a line counter, so that
// every warning names the line the reader took its text from. Where the reader
// takes a value (GetValue), the same steps are taken here, and the result is
// checked against CConfReader::GetValue itself before anything is said about it.

namespace {

constexpr std::size_t MAX_LINE_LENGTH = 119;  // the reader keeps this much of a line
constexpr std::size_t QUOTE_LENGTH = 40;      // longest text quoted in a warning

constexpr const char* KEY_ADDRESS = "address";
constexpr const char* KEY_SERIALNO = "serialno";
constexpr const char* KEY_MODE = "mode";
constexpr const char* KEY_DEVICE = "device";
constexpr const char* KEY_MESID = "mesid";
constexpr const char* KEY_PERIOD = "period";
constexpr std::array<const char*, 6> ALL_KEYS = {KEY_ADDRESS, KEY_SERIALNO, KEY_MODE,
                                                 KEY_DEVICE,  KEY_MESID,    KEY_PERIOD};
constexpr std::array<const char*, 4> CARD_KEYS = {KEY_ADDRESS, KEY_SERIALNO, KEY_MODE, KEY_DEVICE};

struct Line {
    int number = 0;
    std::string text;
    bool atFileEnd = false;  // read where the file had ended: an empty line that is not there
};

struct Section {
    Line header;       // the text after "[" as written
    std::string name;  // folded and cut before "]", as the reader names it
    SectionKind kind = SECTION_NONE;
    std::vector<Line> lines;
    std::size_t wanted = 0;  // counted lines the kind asks for
    bool complete = false;   // false: the end of the file cut it short
};

char FoldLetter(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), FoldLetter);
    return text;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsBlankText(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return IsBlank(c) || c == '\r'; });
}

std::string Quoted(const std::string& text) {
    if (text.size() <= QUOTE_LENGTH) {
        return "\"" + text + "\"";
    }
    return "\"" + text.substr(0, QUOTE_LENGTH) + "...\"";
}

std::size_t CountedLinesOf(SectionKind kind) {
    switch (kind) {
        case SECTION_CARD:
            return CARD_KEYS.size();
        case SECTION_WATCH:
        case SECTION_ALS:
        case SECTION_LOG:
            return 1;
        case SECTION_NONE:
            break;
    }
    return 0;
}

// Walks a file's text the way the reader walks its stream.
class CSectionWalker {
public:
    explicit CSectionWalker(const std::string& text) : m_text(text) {}

    void SkipPastBracket() {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '\n') {
                ++m_line;
            } else if (c == '[') {
                return;
            }
        }
        m_atEnd = true;
    }

    // False when the file has ended before a section began.
    bool ReadSection(Section& section) {
        section = Section{};
        if (m_atEnd) {
            return false;
        }
        ReadLine(section.header);
        section.name = Folded(section.header.text);
        const std::size_t close = section.name.find(']');
        if (close != std::string::npos) {
            section.name.erase(close);
        }
        section.kind = CConfReader::ClassifySection(section.name);
        section.wanted = CountedLinesOf(section.kind);
        for (std::size_t index = 0; index < section.wanted; ++index) {
            if (m_atEnd) {
                return true;  // cut short: complete stays false
            }
            Line line;
            ReadLine(line);
            section.lines.push_back(std::move(line));
        }
        section.complete = true;
        SkipPastBracket();
        return true;
    }

private:
    // As the reader: at most 119 characters are kept, the text ends at a NUL, a CR
    // right before the line feed is dropped.
    void ReadLine(Line& line) {
        line.number = m_line;
        line.text.clear();
        line.atFileEnd = m_pos >= m_text.size();
        bool whole = true;
        for (;;) {
            if (m_pos >= m_text.size()) {
                m_atEnd = true;
                break;
            }
            const char c = m_text[m_pos++];
            if (c == '\n') {
                ++m_line;
                if (whole && !line.text.empty() && line.text.back() == '\r') {
                    line.text.pop_back();
                }
                break;
            }
            if (whole && c != '\0' && line.text.size() <= MAX_LINE_LENGTH) {
                line.text.push_back(c);
            } else {
                whole = false;
            }
        }
        if (line.text.size() > MAX_LINE_LENGTH) {
            line.text.resize(MAX_LINE_LENGTH);
        }
    }

    const std::string& m_text;
    std::size_t m_pos = 0;
    int m_line = 1;
    bool m_atEnd = false;
};

// Where a key line's value lies, found by the reader's steps.
struct KeyLine {
    enum Outcome {
        NO_EQUALS,      // the line holds no "="
        NO_KEY,         // the key is not in the line
        NOTHING_AFTER,  // nothing but blanks after the "=", or a ";" right after them
        NO_TERMINATOR,  // the value runs to the end of the line
        VALUE,
    };
    Outcome outcome = NO_KEY;
    std::size_t begin = 0;  // VALUE and NO_TERMINATOR: the value's first character
    std::size_t end = 0;    // VALUE: its terminator
    std::string value;
};

KeyLine LocateValue(const std::string& key, const std::string& line) {
    KeyLine result;
    const std::size_t firstEquals = line.find('=');
    if (firstEquals == std::string::npos) {
        result.outcome = KeyLine::NO_EQUALS;
        return result;
    }
    std::string folded = line;
    std::transform(folded.begin(), folded.begin() + static_cast<std::ptrdiff_t>(firstEquals),
                   folded.begin(), FoldLetter);
    const std::size_t keyPos = folded.find(key);
    const std::size_t equals =
        keyPos == std::string::npos ? std::string::npos : folded.find('=', keyPos);
    if (equals == std::string::npos) {
        result.outcome = KeyLine::NO_KEY;
        return result;
    }
    result.begin = folded.find_first_not_of(" \t", equals + 1);
    // A terminator right after the blanks gives an empty value: missing, as for the reader.
    if (result.begin == std::string::npos || folded[result.begin] == ';') {
        result.outcome = KeyLine::NOTHING_AFTER;
        return result;
    }
    result.end = folded.find_first_of("; \t\n", result.begin);
    if (result.end == std::string::npos) {
        result.outcome = KeyLine::NO_TERMINATOR;
        result.value = folded.substr(result.begin);
        return result;
    }
    result.outcome = KeyLine::VALUE;
    result.value = folded.substr(result.begin, result.end - result.begin);
    return result;
}

// A number as the reader reads it: optional sign, decimal digits up to the first
// non-digit. nullopt beyond the 32-bit range (the reader rejects it with a message).
struct Number {
    int32_t value = 0;
    std::size_t digits = 0;    // how many digits were read
    std::size_t consumed = 0;  // characters of the text taken, sign included
};

std::optional<Number> ReadNumber(const std::string& text) {
    Number number;
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) {
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

bool IsDigitsOnly(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

class CLinter {
public:
    explicit CLinter(const LogIntervalOption& commandLine) : m_commandLine(commandLine) {}

    void Walk(const std::string& text) {
        CSectionWalker walker(text);
        walker.SkipPastBracket();
        Section section;
        while (walker.ReadSection(section)) {
            if (!section.complete) {
                const auto present =
                    std::count_if(section.lines.begin(), section.lines.end(),
                                  [](const Line& line) { return !line.atFileEnd; });
                Warn(section.header.number,
                     "section " + Header(section) + " ends with the file after " +
                         std::to_string(present) + " of its " + std::to_string(section.wanted) +
                         " lines: the station drops it without a message");
                break;  // the reader stops here too
            }
            switch (section.kind) {
                case SECTION_CARD:
                    CheckCard(section);
                    break;
                case SECTION_WATCH:
                    CheckNumber(section.lines[0], KEY_MESID, "MES ID 0 is put on the watch list");
                    break;
                case SECTION_ALS:
                    CheckNumber(section.lines[0], KEY_PERIOD,
                                "an ALS period of 0 switches the "
                                "ALS handling off");
                    break;
                case SECTION_LOG:
                    CheckNumber(section.lines[0], KEY_PERIOD, "");
                    TakeLogInterval(section.lines[0]);
                    break;
                case SECTION_NONE:
                    WarnUnknownSection(section);
                    break;
            }
        }
        CheckLogIntervalInEffect();
    }

    std::vector<ConfWarning> Take() {
        std::stable_sort(
            m_warnings.begin(), m_warnings.end(), [](const ConfWarning& a, const ConfWarning& b) {
                const int left = a.line == 0 ? std::numeric_limits<int>::max() : a.line;
                const int right = b.line == 0 ? std::numeric_limits<int>::max() : b.line;
                return left < right;
            });
        return std::move(m_warnings);
    }

private:
    void Warn(int line, std::string text) { m_warnings.push_back({line, std::move(text)}); }

    static std::string Header(const Section& section) {
        const std::size_t close = section.header.text.find(']');
        return Quoted("[" + (close == std::string::npos
                                 ? section.header.text
                                 : section.header.text.substr(0, close + 1)));
    }

    void WarnUnknownSection(const Section& section) {
        std::string text = "section " + Header(section) +
                           " is of no kind the station knows (its name must hold \"card_\", "
                           "\"watch\", \"als\" or \"log\"): the station skips everything up to "
                           "the next \"[\"";
        if (section.name.find("card") != std::string::npos) {
            text += "; a card section's name needs \"card_\"";
        }
        Warn(section.header.number, std::move(text));
    }

    // Checks that `key` is where the reader looks for it, and how its value ends.
    // Returns the value when the reader finds one.
    std::optional<std::string> CheckKeyLine(const Line& line, const char* key) {
        const KeyLine found = LocateValue(key, line.text);
        const std::string expected = std::string("the key \"") + key + "\"";
        switch (found.outcome) {
            case KeyLine::NO_EQUALS:
                if (Folded(line.text).find(key) != std::string::npos) {
                    Warn(line.number, expected +
                                          " has no \"=\" after it: the station takes its "
                                          "value as missing");
                } else {
                    WarnWrongKey(line, key);
                }
                return std::nullopt;
            case KeyLine::NO_KEY:
                WarnWrongKey(line, key);
                return std::nullopt;
            case KeyLine::NOTHING_AFTER:
                Warn(line.number, expected + " has no value");
                return std::nullopt;
            case KeyLine::NO_TERMINATOR:
                Warn(line.number, "the value " + Quoted(found.value) +
                                      " has no \";\" after it: the station takes it as missing");
                return std::nullopt;
            case KeyLine::VALUE:
                break;
        }
        if (found.value != CConfReader::GetValue(key, line.text)) {
            return std::nullopt;  // never expected; say nothing rather than something wrong
        }
        if (line.text[found.end] != ';') {
            const std::string rest = line.text.substr(found.end);
            const std::size_t semicolon = rest.find(';');
            const std::string before = rest.substr(0, semicolon);
            if (semicolon == std::string::npos) {
                std::string text = "the value " + Quoted(found.value) + " has no \";\" after it";
                if (!IsBlankText(rest)) {
                    text += ": the station reads " + Quoted(found.value) + " and ignores " +
                            Quoted(Trimmed(rest));
                }
                Warn(line.number, std::move(text));
            } else if (!IsBlankText(before)) {
                Warn(line.number, "the station reads " + Quoted(found.value) + " and ignores " +
                                      Quoted(Trimmed(before)) + " before the \";\"");
            }
        }
        return found.value;
    }

    static std::string Trimmed(const std::string& text) {
        const std::size_t begin = text.find_first_not_of(" \t\r");
        const std::size_t end = text.find_last_not_of(" \t\r");
        return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
    }

    void WarnWrongKey(const Line& line, const char* key) {
        std::string found;
        if (line.atFileEnd && line.text.empty()) {
            found = "the end of the file";
        } else if (IsBlankText(line.text)) {
            found = "an empty line";
        } else if (line.text.find('[') != std::string::npos) {
            found = Quoted(line.text) +
                    " (a \"[\" on a counted line opens no section: that section is lost)";
        } else {
            found = Quoted(line.text);
            const std::string folded = Folded(line.text);
            for (const char* other : ALL_KEYS) {
                if (folded.find(other) != std::string::npos) {
                    found = std::string("the key \"") + other + "\"";
                    break;
                }
            }
        }
        Warn(line.number, std::string("the key \"") + key + "\" was expected here, found " + found +
                              "; the lines of a section cannot be reordered or skipped");
    }

    void CheckCard(const Section& section) {
        std::array<std::optional<std::string>, CARD_KEYS.size()> values;
        for (std::size_t index = 0; index < CARD_KEYS.size(); ++index) {
            values[index] = CheckKeyLine(section.lines[index], CARD_KEYS[index]);
        }

        // A host's cards are told apart by their serial numbers.
        const std::optional<std::string>& address = values[0];
        const std::optional<std::string>& serial = values[1];
        if (!address || !serial || !IsDigitsOnly(*serial)) {
            return;
        }
        const std::optional<Number> number = ReadNumber(*serial);
        if (!number || number->value == 0) {
            return;
        }
        const auto key = std::make_pair(Folded(*address), number->value);
        const auto [it, inserted] = m_serialsOnHost.emplace(key, section.lines[1].number);
        if (!inserted) {
            Warn(section.lines[1].number,
                 "serial number " + *serial + " is configured for a second card of host " +
                     Quoted(*address) + " (first on line " + std::to_string(it->second) +
                     "): the host cannot tell the two apart");
        }
    }

    // A MES ID or a period: warns where the reader's number is not what is written.
    void CheckNumber(const Line& line, const char* key, const std::string& ofZero) {
        const std::optional<std::string> value = CheckKeyLine(line, key);
        if (!value) {
            return;
        }
        const std::optional<Number> number = ReadNumber(*value);
        if (!number || number->value < 0) {
            return;  // the reader rejects it with its own message
        }
        if (number->digits == 0) {
            std::string text = Quoted(*value) + " holds no number: the station reads it as 0";
            if (!ofZero.empty()) {
                text += ", and " + ofZero;
            }
            Warn(line.number, std::move(text));
        } else if (number->consumed < value->size()) {
            Warn(line.number, Quoted(*value) + " is read as " + std::to_string(number->value) +
                                  ": the number ends before " +
                                  Quoted(value->substr(number->consumed, 1)));
        }
    }

    // The first log section with a valid period sets the interval; later ones are
    // ignored (as the reader does).
    void TakeLogInterval(const Line& line) {
        if (m_logLine != 0) {
            return;
        }
        const std::string value = CConfReader::GetValue(KEY_PERIOD, line.text);
        const std::optional<Number> number = value.empty() ? std::nullopt : ReadNumber(value);
        if (number && number->value >= 0) {
            m_logLine = line.number;
            m_logInterval = number->value;
        }
    }

    void CheckLogIntervalInEffect() {
        constexpr const char* CONSEQUENCE =
            ": no samples are taken and no statistics file will be written";
        if (m_logLine != 0) {
            if (m_logInterval == 0) {
                Warn(m_logLine, std::string("the log sampling interval is 0") + CONSEQUENCE);
            }
            return;
        }
        if (m_commandLine.value != 0) {
            return;
        }
        if (m_commandLine.token.empty()) {
            Warn(0, std::string("the log sampling interval is 0 (neither a [log] section nor the "
                                "command line gives one)") +
                        CONSEQUENCE);
        } else {
            Warn(0, "the log sampling interval is 0 (" + Quoted(m_commandLine.token) +
                        " gives 0: the command line takes 4 to 120, and no [log] section gives "
                        "one)" +
                        CONSEQUENCE);
        }
    }

    LogIntervalOption m_commandLine;
    std::vector<ConfWarning> m_warnings;
    std::map<std::pair<std::string, int32_t>, int> m_serialsOnHost;  // -> line of the first
    int m_logLine = 0;                                               // 0: no valid [log] yet
    int32_t m_logInterval = -1;
};

}  // namespace

std::vector<ConfWarning> LintConfigText(const std::string& text,
                                        const LogIntervalOption& commandLine) {
    CLinter linter(commandLine);
    linter.Walk(text);
    return linter.Take();
}

std::vector<ConfWarning> LintConfigFile(const std::string& path,
                                        const LogIntervalOption& commandLine) {
    // Read as the reader reads it: a regular file only, never waiting on what
    // it finds, and no more of it than the reader takes.
    CRegularFileReader file;
    if (!file.Open(path, CONF_FILE_READ_LIMIT)) {
        return {};
    }
    std::string text;
    for (int byte = file.Next(); byte != CRegularFileReader::END; byte = file.Next()) {
        text += static_cast<char>(byte);
    }
    return LintConfigText(text, commandLine);
}

std::string FormatConfWarning(const std::string& path, const ConfWarning& warning) {
    if (warning.line == 0) {
        return path + ": warning: " + warning.text;
    }
    return path + ":" + std::to_string(warning.line) + ": warning: " + warning.text;
}
