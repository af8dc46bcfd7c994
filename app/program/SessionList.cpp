// --sessions: the history printed as an aligned table (two passes, the first to measure the
// columns) or as CSV, and the times --since and --until take.
#include "app/program/SessionList.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace {

constexpr const char* COLUMN_GAP = "  ";

// `count` decimal digits of `text` at `at`.
bool Digits(std::string_view text, size_t at, size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

std::string DurationText(int64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

// The designed "none" service is a single blank; the history shows it empty.
std::string ServiceText(const std::string& service) {
    return service == " " ? std::string() : service;
}

void AppendCsvField(std::string& line, const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        line += field;
        return;
    }
    line += '"';
    for (const char c : field) {
        line += c;
        if (c == '"') {
            line += '"';
        }
    }
    line += '"';
}

std::string OptionalText(const std::optional<int64_t>& value, std::string (*text)(int64_t)) {
    return value ? text(*value) : std::string();
}

std::string Number(int64_t value) {
    return std::to_string(value);
}

constexpr size_t COLUMNS = 12;
using Cells = std::array<std::string, COLUMNS>;

const Cells& Heading() {
    static const Cells heading = {"Start",  "End",  "Duration", "Card",    "Serial",  "Address",
                                  "Device", "Mode", "MES ID",   "Service", "Outcome", "Reason"};
    return heading;
}

// Numbers to the right, texts to the left.
constexpr std::array<bool, COLUMNS> RIGHT = {false, false, true, true,  true,  false,
                                             false, false, true, false, false, false};

constexpr const char* CSV_HEADER =
    "start,end,duration,card,serial,address,device,mode,mesid,service,outcome,reason\n";

// The texts of a row, its duration as `duration` gives it.
void RowCells(const SessionRecord& s, std::string (*duration)(int64_t), Cells& cells) {
    cells = {SessionTimeText(s.start),
             OptionalText(s.end, SessionTimeText),
             OptionalText(s.duration, duration),
             Number(s.card),
             Number(s.serialNumber),
             s.address,
             s.device,
             s.mode,
             Number(s.mesId),
             ServiceText(s.service),
             s.outcome,
             s.reason};
}

// `cells` as a CSV line, its newline included.
void CsvLine(const Cells& cells, std::string& line) {
    line.clear();
    for (size_t column = 0; column < COLUMNS; ++column) {
        if (column > 0) {
            line += ',';
        }
        AppendCsvField(line, cells[column]);
    }
    line += '\n';
}

// The table's columns as wide as their widest cell, the heading's included:
// measured on every row first, then the rows are laid out.
class CTableLayout {
public:
    CTableLayout() { Measure(Heading()); }

    void Measure(const Cells& cells) {
        for (size_t column = 0; column < COLUMNS; ++column) {
            m_widths[column] = std::max(m_widths[column], cells[column].size());
        }
    }

    // `cells` as a line of the table, without trailing blanks, its newline included.
    void Line(const Cells& cells, std::string& line) const {
        line.clear();
        for (size_t column = 0; column < COLUMNS; ++column) {
            const std::string& cell = cells[column];
            const size_t padding =
                m_widths[column] > cell.size() ? m_widths[column] - cell.size() : 0;
            if (column > 0) {
                line += COLUMN_GAP;
            }
            if (RIGHT[column]) {
                line.append(padding, ' ');
                line += cell;
            } else {
                line += cell;
                line.append(padding, ' ');
            }
        }
        line.erase(line.find_last_not_of(' ') + 1);
        line += '\n';
    }

private:
    std::array<size_t, COLUMNS> m_widths{};
};

int Unreadable(FILE* err, const char* why) {
    std::fprintf(err, "OrvaneSystemDx: cannot read the session history: %s\n", why);
    return SESSIONS_UNREADABLE;
}

// The lines of a list on a stream through its stdio buffer, the heading
// before the first: none when the query fails before its first row. The
// first failure to write ends the writing and is kept.
class CListPrinter {
public:
    CListPrinter(FILE* out, std::string heading) : m_out(out), m_heading(std::move(heading)) {}

    bool Row(const std::string& line) { return Head() && Write(line); }
    // The heading alone when there were no rows, then the buffer flushed.
    // False when anything written did not arrive.
    bool Finish() {
        errno = 0;
        if (Head() && (std::fflush(m_out) != 0 || std::ferror(m_out) != 0)) {
            m_error = errno != 0 ? errno : EIO;
        }
        return m_error == 0;
    }
    int Error() const { return m_error; }

private:
    bool Head() {
        if (!m_headed) {
            m_headed = true;
            return Write(m_heading);
        }
        return m_error == 0;
    }
    bool Write(const std::string& text) {
        if (m_error == 0) {
            errno = 0;
            if (std::fwrite(text.data(), 1, text.size(), m_out) != text.size()) {
                m_error = errno != 0 ? errno : EIO;
            }
        }
        return m_error == 0;
    }

    FILE* m_out;
    std::string m_heading;
    bool m_headed = false;
    int m_error = 0;
};

// The session list of the database at `path` on `out`; the table in two
// passes over one view of the history, the first to measure its columns.
int ListSessions(const std::string& path, const SessionFilter& filter, bool csv, FILE* out,
                 FILE* err) {
    CSessionReader reader;
    std::string error;
    SessionQueryResult result = reader.Open(path, error);
    Cells cells;
    std::string line;
    CTableLayout layout;
    if (result == SessionQueryResult::Ok && !csv) {
        result = reader.ForEach(
            filter,
            [&](const SessionRecord& s) {
                RowCells(s, DurationText, cells);
                layout.Measure(cells);
                return true;
            },
            error);
    }
    std::string heading;
    if (csv) {
        heading = CSV_HEADER;
    } else {
        layout.Line(Heading(), heading);
    }
    CListPrinter printer(out, std::move(heading));
    if (result == SessionQueryResult::Ok) {
        result = reader.ForEach(
            filter,
            [&](const SessionRecord& s) {
                if (csv) {
                    RowCells(s, Number, cells);
                    CsvLine(cells, line);
                } else {
                    RowCells(s, DurationText, cells);
                    layout.Line(cells, line);
                }
                return printer.Row(line);
            },
            error);
    }
    switch (result) {
        case SessionQueryResult::NoDatabase:
            std::fprintf(err, "OrvaneSystemDx: no session history: %s\n", error.c_str());
            return SESSIONS_NO_HISTORY;
        case SessionQueryResult::Failed:
            return Unreadable(err, error.c_str());
        case SessionQueryResult::Ok:
            break;
    }
    if (!printer.Finish()) {
        std::fprintf(err, "OrvaneSystemDx: cannot write the session list: %s\n",
                     std::strerror(printer.Error()));
        return SESSIONS_UNREADABLE;
    }
    return 0;
}

}  // namespace

bool ParseSessionTime(const std::string& text, int64_t& time) {
    // YYYY-MM-DD, then optionally " HH:MM" and ":SS".
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!(text.size() == 10 || text.size() == 16 || text.size() == 19) ||
        !Digits(text, 0, 4, year) || text[4] != '-' || !Digits(text, 5, 2, month) ||
        text[7] != '-' || !Digits(text, 8, 2, day)) {
        return false;
    }
    if (text.size() >= 16 && (text[10] != ' ' || !Digits(text, 11, 2, hour) || text[13] != ':' ||
                              !Digits(text, 14, 2, minute))) {
        return false;
    }
    if (text.size() == 19 && (text[16] != ':' || !Digits(text, 17, 2, second))) {
        return false;
    }
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    // mktime moves what is out of range on (31 April is 1 May): a time that
    // does not come back as given does not exist.
    if (seconds == static_cast<std::time_t>(-1) || local.tm_year != year - 1900 ||
        local.tm_mon != month - 1 || local.tm_mday != day || local.tm_hour != hour ||
        local.tm_min != minute || local.tm_sec != second) {
        return false;
    }
    time = seconds;
    return true;
}

std::string SessionTimeText(int64_t time) {
    const std::time_t seconds = static_cast<std::time_t>(time);
    std::tm local{};
    char text[32] = "";
    if (localtime_r(&seconds, &local) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    }
    return text;
}

std::string SessionTable(const std::vector<SessionRecord>& sessions) {
    CTableLayout layout;
    Cells cells;
    for (const SessionRecord& s : sessions) {
        RowCells(s, DurationText, cells);
        layout.Measure(cells);
    }
    std::string line;
    layout.Line(Heading(), line);
    std::string table = line;
    for (const SessionRecord& s : sessions) {
        RowCells(s, DurationText, cells);
        layout.Line(cells, line);
        table += line;
    }
    return table;
}

std::string SessionCsv(const std::vector<SessionRecord>& sessions) {
    std::string csv = CSV_HEADER;
    Cells cells;
    std::string line;
    for (const SessionRecord& s : sessions) {
        RowCells(s, Number, cells);
        CsvLine(cells, line);
        csv += line;
    }
    return csv;
}

int RunSessionList(const std::string& dataDir, const SessionFilter& filter, bool csv, FILE* out,
                   FILE* err) {
    // A reader that went away (`--sessions | head`) is a write error, told as
    // one, rather than an end without a word.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return ListSessions(dataDir + "/" + SESSION_DATABASE_NAME, filter, csv, out, err);
    } catch (const std::bad_alloc&) {
        return Unreadable(err, "out of memory");
    } catch (const std::exception& e) {
        return Unreadable(err, e.what());
    } catch (...) {
        return Unreadable(err, "unexpected failure");
    }
}
