// Reader of the station's configuration file, OrvaneSystemDx.ini.
//
// The file is positional: a "[" opens a section, the header line names its
// kind, and a fixed number of lines follow (four for a card, one for the
// others), each with one "key = value;". Everything else is skipped. The
// constructor does the whole reading; every rejected section or value becomes
// one ShowMessage, in file order, and reading goes on with what was accepted.
//
// Only a regular file is read, and only its first CONF_FILE_READ_LIMIT bytes:
// any other kind of path (a folder, a FIFO, a device, a socket) is a file that
// cannot be opened, so reading can neither wait nor run on without end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/CardConfig.h"
#include "config/RegularFileReader.h"

// The bytes of the file that are read; what lies beyond is read as if the file
// ended there. A full configuration is a few kilobytes.
constexpr uint64_t CONF_FILE_READ_LIMIT = 1024 * 1024;

enum SectionKind : int32_t {
    SECTION_NONE = 0,
    SECTION_CARD = 1,
    SECTION_WATCH = 2,
    SECTION_ALS = 3,
    SECTION_LOG = 4,
};

class CConfReader {
public:
    explicit CConfReader(std::string path);
    virtual ~CConfReader();

    CConfReader(const CConfReader&) = delete;
    CConfReader& operator=(const CConfReader&) = delete;

    void GetCards(std::vector<CardConfig>& cards) const;
    void GetWatchList(std::vector<int32_t>& watchList) const;
    int32_t GetAlsPeriod() const;    // seconds; -1 when not given
    int32_t GetLogInterval() const;  // seconds; -1 when not given

    // The value of `key` (lower case) in `line`, or an empty text when it is
    // missing. Public because the rule is the heart of the file format.
    static std::string GetValue(const std::string& key, const std::string& line);
    static SectionKind ClassifySection(const std::string& name);

private:
    // Reads the section whose "[" has just been consumed into m_section; false at the
    // end of the file or when the end cuts the section short.
    bool ReadSection();
    // One line up to its line feed: at most 119 characters are kept, the rest of a
    // longer line is skipped, and a CR right before the line feed is dropped. The text
    // ends at a NUL byte, as a C string would.
    void ReadLine(std::string& line);
    // Consumes everything up to and including the next "[".
    void SkipPastBracket();
    void ParseCardSection();
    void ParseWatchSection();
    void ParseAlsSection();
    void ParseLogSection();
    bool IsSerialKnown(int32_t serialNumber) const;
    static int32_t LookupMode(const std::string& value);
    static int32_t LookupDevice(const std::string& value);

    CRegularFileReader m_file;           // open from construction to destruction when readable
    std::vector<std::string> m_section;  // [0] the folded name, then the counted lines
    std::vector<CardConfig> m_cards;
    std::vector<int32_t> m_watchList;
    int32_t m_alsPeriod = -1;
    int32_t m_logInterval = -1;
    bool m_atEnd = false;  // a read has run into the end of the file
    bool m_toldTooManyCards = false;
    bool m_toldSeveralAls = false;
    bool m_toldSeveralLogs = false;
};
