// The check behind --check-config: the sections of the reader's own walk,
// looked at for what the reader takes silently or differently from how it is
// written.
#include "config/ConfLint.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <utility>

#include "config/ConfReader.h"
#include "config/ConfWalker.h"
#include "config/RegularFileReader.h"

// The sections come from CConfWalker, the walk the reader takes, with the line each
// text began on, so that every warning names the line the reader took its text from.
// Where the reader takes a value, LocateConfValue tells why it found one or none.

namespace {

constexpr std::size_t QUOTE_LENGTH = 40;  // longest text quoted in a warning

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

bool IsDigitsOnly(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

class CLinter {
public:
    explicit CLinter(const LogIntervalOption& commandLine) : m_commandLine(commandLine) {}

    void Walk(CConfWalker& walker) {
        ConfSection section;
        while (walker.Next(section)) {
            if (!section.complete) {
                const auto present =
                    std::count_if(section.lines.begin(), section.lines.end(),
                                  [](const ConfLine& line) { return !line.atFileEnd; });
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
                    CheckNumber(section.lines[0], CONF_KEY_MESID,
                                "MES ID 0 is put on the watch list");
                    break;
                case SECTION_ALS:
                    CheckNumber(section.lines[0], CONF_KEY_PERIOD,
                                "an ALS period of 0 switches the "
                                "ALS handling off");
                    break;
                case SECTION_LOG:
                    CheckNumber(section.lines[0], CONF_KEY_PERIOD, "");
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

    static std::string Header(const ConfSection& section) {
        const std::size_t close = section.header.text.find(']');
        return Quoted("[" + (close == std::string::npos
                                 ? section.header.text
                                 : section.header.text.substr(0, close + 1)));
    }

    void WarnUnknownSection(const ConfSection& section) {
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
    std::optional<std::string> CheckKeyLine(const ConfLine& line, const char* key) {
        const ConfValue found = LocateConfValue(key, line.text);
        const std::string expected = std::string("the key \"") + key + "\"";
        switch (found.outcome) {
            case ConfValue::NO_EQUALS:
                if (FoldConfText(line.text).find(key) != std::string::npos) {
                    Warn(line.number, expected +
                                          " has no \"=\" after it: the station takes its "
                                          "value as missing");
                } else {
                    WarnWrongKey(line, key);
                }
                return std::nullopt;
            case ConfValue::NO_KEY:
                WarnWrongKey(line, key);
                return std::nullopt;
            case ConfValue::NOTHING_AFTER:
                Warn(line.number, expected + " has no value");
                return std::nullopt;
            case ConfValue::NO_TERMINATOR:
                Warn(line.number, "the value " + Quoted(found.value) +
                                      " has no \";\" after it: the station takes it as missing");
                return std::nullopt;
            case ConfValue::VALUE:
                break;
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

    void WarnWrongKey(const ConfLine& line, const char* key) {
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
            const std::string folded = FoldConfText(line.text);
            for (const char* other : CONF_ALL_KEYS) {
                if (folded.find(other) != std::string::npos) {
                    found = std::string("the key \"") + other + "\"";
                    break;
                }
            }
        }
        Warn(line.number, std::string("the key \"") + key + "\" was expected here, found " + found +
                              "; the lines of a section cannot be reordered or skipped");
    }

    void CheckCard(const ConfSection& section) {
        std::array<std::optional<std::string>, CONF_CARD_KEYS.size()> values;
        for (std::size_t index = 0; index < CONF_CARD_KEYS.size(); ++index) {
            values[index] = CheckKeyLine(section.lines[index], CONF_CARD_KEYS[index]);
        }

        // A host's cards are told apart by their serial numbers.
        const std::optional<std::string>& address = values[0];
        const std::optional<std::string>& serial = values[1];
        if (!address || !serial || !IsDigitsOnly(*serial)) {
            return;
        }
        const std::optional<ConfNumber> number = ReadConfNumber(*serial);
        if (!number || number->value == 0) {
            return;
        }
        const auto key = std::make_pair(FoldConfText(*address), number->value);
        const auto [it, inserted] = m_serialsOnHost.emplace(key, section.lines[1].number);
        if (!inserted) {
            Warn(section.lines[1].number,
                 "serial number " + *serial + " is configured for a second card of host " +
                     Quoted(*address) + " (first on line " + std::to_string(it->second) +
                     "): the host cannot tell the two apart");
        }
    }

    // A MES ID or a period: warns where the reader's number is not what is written.
    void CheckNumber(const ConfLine& line, const char* key, const std::string& ofZero) {
        const std::optional<std::string> value = CheckKeyLine(line, key);
        if (!value) {
            return;
        }
        const std::optional<ConfNumber> number = ReadConfNumber(*value);
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
    void TakeLogInterval(const ConfLine& line) {
        if (m_logLine != 0) {
            return;
        }
        const std::string value = CConfReader::GetValue(CONF_KEY_PERIOD, line.text);
        const std::optional<ConfNumber> number =
            value.empty() ? std::nullopt : ReadConfNumber(value);
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
    std::size_t pos = 0;
    CConfWalker walker([&text, &pos] {
        return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : CConfWalker::END;
    });
    CLinter linter(commandLine);
    linter.Walk(walker);
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
    CConfWalker walker([&file] { return file.Next(); });
    CLinter linter(commandLine);
    linter.Walk(walker);
    return linter.Take();
}

std::string FormatConfWarning(const std::string& path, const ConfWarning& warning) {
    if (warning.line == 0) {
        return path + ": warning: " + warning.text;
    }
    return path + ":" + std::to_string(warning.line) + ": warning: " + warning.text;
}
