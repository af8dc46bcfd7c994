#include "app/SessionList.h"

#include <algorithm>
#include <ctime>
#include <string_view>

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

std::string CsvField(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (const char c : field) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string OptionalText(const std::optional<int64_t>& value, std::string (*text)(int64_t)) {
    return value ? text(*value) : std::string();
}

std::string Number(int64_t value) {
    return std::to_string(value);
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
    const std::vector<std::string> heading = {"Start",  "End",     "Duration", "Card",
                                              "Serial", "Address", "Device",   "Mode",
                                              "MES ID", "Service", "Outcome",  "Reason"};
    // Numbers to the right, texts to the left.
    const std::vector<bool> right = {false, false, true, true,  true,  false,
                                     false, false, true, false, false, false};
    std::vector<std::vector<std::string>> rows = {heading};
    for (const SessionRecord& s : sessions) {
        rows.push_back({SessionTimeText(s.start), OptionalText(s.end, SessionTimeText),
                        OptionalText(s.duration, DurationText), Number(s.card),
                        Number(s.serialNumber), s.address, s.device, s.mode, Number(s.mesId),
                        ServiceText(s.service), s.outcome, s.reason});
    }
    std::vector<size_t> widths(heading.size(), 0);
    for (const std::vector<std::string>& row : rows) {
        for (size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string table;
    for (const std::vector<std::string>& row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            const std::string padding(widths[column] - row[column].size(), ' ');
            line += column == 0 ? "" : COLUMN_GAP;
            line += right[column] ? padding + row[column] : row[column] + padding;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        table += line + "\n";
    }
    return table;
}

std::string SessionCsv(const std::vector<SessionRecord>& sessions) {
    std::string csv =
        "start,end,duration,card,serial,address,device,mode,mesid,service,outcome,"
        "reason\n";
    for (const SessionRecord& s : sessions) {
        const std::vector<std::string> fields = {SessionTimeText(s.start),
                                                 OptionalText(s.end, SessionTimeText),
                                                 OptionalText(s.duration, Number),
                                                 Number(s.card),
                                                 Number(s.serialNumber),
                                                 s.address,
                                                 s.device,
                                                 s.mode,
                                                 Number(s.mesId),
                                                 ServiceText(s.service),
                                                 s.outcome,
                                                 s.reason};
        for (size_t i = 0; i < fields.size(); ++i) {
            csv += (i == 0 ? "" : ",") + CsvField(fields[i]);
        }
        csv += "\n";
    }
    return csv;
}

int RunSessionList(const std::string& dataDir, const SessionFilter& filter, bool csv, FILE* out,
                   FILE* err) {
    const std::string path = dataDir + "/" + SESSION_DATABASE_NAME;
    std::vector<SessionRecord> sessions;
    std::string error;
    switch (QuerySessions(path, filter, sessions, error)) {
        case SessionQueryResult::NoDatabase:
            std::fprintf(err, "OrvaneSystemDx: no session history: %s\n", error.c_str());
            return SESSIONS_NO_HISTORY;
        case SessionQueryResult::Failed:
            std::fprintf(err, "OrvaneSystemDx: cannot read the session history: %s\n",
                         error.c_str());
            return SESSIONS_UNREADABLE;
        case SessionQueryResult::Ok:
            break;
    }
    const std::string text = csv ? SessionCsv(sessions) : SessionTable(sessions);
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fflush(out) == 0 && std::ferror(out) == 0 ? 0 : SESSIONS_UNREADABLE;
}
