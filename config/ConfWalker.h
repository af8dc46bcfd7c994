// The walk over the configuration file, OrvaneSystemDx.ini, and the rules it
// reads lines and values by: one walk for the reader that builds the
// configuration (ConfReader.h) and for the check that explains it to the
// operator (ConfLint.h), so the two can never see different sections.
//
// The file is followed as a stream of characters, never as a whole:
//
//   ... skipped ... [header line          <- folded, cut before "]": the section's name
//                   counted line 1        <- as many as the kind asks for, taken as they stand
//                   ...
//                   counted line n
//   ... skipped ... [next header line
//
// The end of the file counts as reached once a read has run into it, so a last
// line without a line feed is still read whole and the end shows only at the
// next check; a read that starts right at the end yields an empty line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum SectionKind : int32_t {
    SECTION_NONE = 0,
    SECTION_CARD = 1,
    SECTION_WATCH = 2,
    SECTION_ALS = 3,
    SECTION_LOG = 4,
};

// The longest header or counted line kept; the rest of a longer line is skipped
// so that reading stays aligned on lines.
constexpr std::size_t CONF_MAX_LINE_LENGTH = 119;

// The keys of the counted lines (lower case; the file's keys are case-blind).
constexpr const char* CONF_KEY_ADDRESS = "address";
constexpr const char* CONF_KEY_SERIALNO = "serialno";
constexpr const char* CONF_KEY_MODE = "mode";
constexpr const char* CONF_KEY_DEVICE = "device";
constexpr const char* CONF_KEY_MESID = "mesid";
constexpr const char* CONF_KEY_PERIOD = "period";
// A card section's counted lines, in their order.
constexpr std::array<const char*, 4> CONF_CARD_KEYS = {CONF_KEY_ADDRESS, CONF_KEY_SERIALNO,
                                                       CONF_KEY_MODE, CONF_KEY_DEVICE};
constexpr std::array<const char*, 6> CONF_ALL_KEYS = {CONF_KEY_ADDRESS, CONF_KEY_SERIALNO,
                                                      CONF_KEY_MODE,    CONF_KEY_DEVICE,
                                                      CONF_KEY_MESID,   CONF_KEY_PERIOD};

struct ConfLine {
    int number = 0;  // 1-based line of the file it begins on
    // At most CONF_MAX_LINE_LENGTH characters, ending at a NUL byte as a C string
    // would; a CR right before the line feed is dropped.
    std::string text;
    bool atFileEnd = false;  // read where the file had ended: an empty line that is not there
};

struct ConfSection {
    ConfLine header;   // the text after "[" as written
    std::string name;  // folded and cut before "]": what the section is known by
    SectionKind kind = SECTION_NONE;
    std::vector<ConfLine> lines;  // the counted lines read
    std::size_t wanted = 0;       // counted lines the kind asks for
    bool complete = false;        // false: the end of the file cut it short
};

class CConfWalker {
public:
    // The file's next byte as 0..255, or END; once END is given it is given for good.
    using Source = std::function<int()>;
    static constexpr int END = -1;

    explicit CConfWalker(Source next);

    // The next section. False once the file has ended before a section began. A
    // section the end cuts short comes with `complete` false, and is the last.
    bool Next(ConfSection& section);

private:
    // Consumes everything up to and including the next "[".
    void SkipPastBracket();
    void ReadLine(ConfLine& line);

    Source m_next;
    int m_line = 1;
    bool m_started = false;
    bool m_atEnd = false;  // a read has run into the end of the file
};

// Letters A to Z lowered; every other byte, those above 127 included, stays as it is.
std::string FoldConfText(std::string text);

// The kind a section's (folded) name gives; a section of no known kind takes no
// lines, and the walk skips on to the next "[".
SectionKind ClassifyConfSection(const std::string& name);

// Where the value of `key` (lower case) lies in a counted line, found step by step:
// the letters before the line's first "=" are folded, the key is looked for, the
// value runs from the first non-blank after the "=" that follows it up to a ";",
// a blank or a line feed.
struct ConfValue {
    enum Outcome {
        NO_EQUALS,      // the line holds no "="
        NO_KEY,         // the key, with an "=" after it, is not in the line
        NOTHING_AFTER,  // nothing but blanks after the "=", or a ";" right after them
        NO_TERMINATOR,  // the value runs to the end of the line
        VALUE,
    };
    Outcome outcome = NO_KEY;
    std::size_t begin = 0;  // VALUE and NO_TERMINATOR: the value's first character
    std::size_t end = 0;    // VALUE: its terminator
    std::string value;      // VALUE and NO_TERMINATOR
};
ConfValue LocateConfValue(const std::string& key, const std::string& line);

// A number read from `text` at `from` as atoi reads it after its blanks: an optional
// sign, then decimal digits up to the first non-digit (none reads as 0). nullopt when
// it lies outside the 32-bit signed range; no length of input overflows.
struct ConfNumber {
    int32_t value = 0;
    std::size_t digits = 0;    // how many digits were read
    std::size_t consumed = 0;  // where the number ends in `text` (0 when no digit was read)
};
std::optional<ConfNumber> ReadConfNumber(const std::string& text, std::size_t from = 0);
