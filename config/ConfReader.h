// Reader of the station's configuration file, OrvaneSystemDx.ini.
//
// The file is positional: a "[" opens a section, the header line names its
// kind, and a fixed number of lines follow (four for a card, one for the
// others), each with one "key = value;". Everything else is skipped. The walk
// is CConfWalker's (ConfWalker.h), shared with the check of ConfLint.h. The
// constructor does the whole reading; every rejected section or value becomes
// one message to `show` (ShowMessage when none is given), in file order, and
// reading goes on with what was accepted.
//
// Only a regular file is read, and only its first CONF_FILE_READ_LIMIT bytes:
// any other kind of path (a folder, a FIFO, a device, a socket) is a file that
// cannot be opened, so reading can neither wait nor run on without end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/CardConfig.h"
#include "config/ConfWalker.h"
#include "config/Notifier.h"
#include "config/RegularFileReader.h"

// The bytes of the file that are read; what lies beyond is read as if the file
// ended there. A full configuration is a few kilobytes.
constexpr uint64_t CONF_FILE_READ_LIMIT = 1024 * 1024;

class CConfReader {
public:
    explicit CConfReader(std::string path, MessageHandler show = {});
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
    void ParseCardSection(const ConfSection& section);
    void ParseWatchSection(const ConfSection& section);
    void ParseAlsSection(const ConfSection& section);
    void ParseLogSection(const ConfSection& section);
    bool IsSerialKnown(int32_t serialNumber) const;
    static int32_t LookupMode(const std::string& value);
    static int32_t LookupDevice(const std::string& value);

    MessageHandler m_show;
    CRegularFileReader m_file;  // open from construction to destruction when readable
    std::vector<CardConfig> m_cards;
    std::vector<int32_t> m_watchList;
    int32_t m_alsPeriod = -1;
    int32_t m_logInterval = -1;
    bool m_toldTooManyCards = false;
    bool m_toldSeveralAls = false;
    bool m_toldSeveralLogs = false;
};
