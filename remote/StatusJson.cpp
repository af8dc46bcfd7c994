#include "remote/StatusJson.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/EventText.h"
#include "resources/OrvaneTypes.h"
#include "resources/StringTable.h"

namespace {

// A JSON string: quoted, with quotes, backslashes and control characters escaped.
void AppendString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : Utf8FromLatin1(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// Builds one JSON object; the caller closes it with End.
class CObject {
public:
    explicit CObject(std::string& out) : m_out(out) { m_out += '{'; }
    CObject& Key(std::string_view key) {
        if (!m_first) {
            m_out += ',';
        }
        m_first = false;
        AppendString(m_out, key);
        m_out += ':';
        return *this;
    }
    CObject& Text(std::string_view key, std::string_view value) {
        Key(key);
        AppendString(m_out, value);
        return *this;
    }
    CObject& Number(std::string_view key, int64_t value) {
        Key(key);
        m_out += std::to_string(value);
        return *this;
    }
    CObject& Null(std::string_view key) {
        Key(key);
        m_out += "null";
        return *this;
    }
    void End() { m_out += '}'; }

private:
    std::string& m_out;
    bool m_first = true;
};

void AppendCard(std::string& out, const CardState& row, const CardCounters& counters,
                int64_t nowMs) {
    const int64_t now = nowMs / 1000;
    CObject card(out);
    card.Number("number", row.number)
        .Text("mode", LoadResourceString(IDS_MODE_BASE + row.mode))
        .Text("address", row.address)
        .Text("device", LoadResourceString(IDS_DEVICE_BASE + row.device))
        .Number("serial", row.serialNumber);
    card.Key("status");
    CObject status(out);
    status.Text("text", LoadResourceString(IDS_STATUS_BASE + row.status))
        .Number("code", row.status);
    status.End();
    card.Text("since", IsoTime(row.statusSince))
        .Number("secondsInState", std::max<int64_t>(0, now - row.statusSince))
        .Number("mesId", row.mesId);
    if (row.status == STATUS_BUSY_SESSION) {
        card.Text("service", LoadResourceString(IDS_SERVICE_BASE + row.service));
    } else {
        card.Null("service");
    }
    card.Number("busySeconds", row.busySeconds)
        .Number("linkUps", counters.linkUps)
        .Number("linkDowns", counters.linkDowns)
        .Number("sessionsFollowed", counters.sessionsFollowed)
        .Number("sessionsRefused", counters.sessionsRefused)
        .Number("messagesReceived", counters.messagesReceived);
    if (counters.lastMessageWallMs > 0) {
        card.Key("secondsSinceLastMessage");
        char seconds[32];
        std::snprintf(
            seconds, sizeof(seconds), "%.3f",
            static_cast<double>(std::max<int64_t>(0, nowMs - counters.lastMessageWallMs)) / 1000.0);
        out += seconds;
    } else {
        card.Null("secondsSinceLastMessage");
    }
    if (counters.lastLinkLossTime > 0) {
        card.Text("lastLinkLoss", LinkNoteText(counters.lastLinkLoss))
            .Text("lastLinkLossTime", IsoTime(counters.lastLinkLossTime));
    } else {
        card.Null("lastLinkLoss").Null("lastLinkLossTime");
    }
    card.End();
}

}  // namespace

std::string Utf8FromLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string IsoTime(int64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return std::string();
    }
    char text[40];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[48];
    std::snprintf(zone, sizeof(zone), "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(text) + zone;
}

std::string ErrorJson(std::string_view text) {
    std::string out;
    CObject(out).Text("error", text).End();
    out += '\n';
    return out;
}

std::string StatusJson(const StationSnapshot& snapshot, const StatusContext& context) {
    const int64_t now = context.nowMs / 1000;
    std::string out;
    out.reserve(4096);
    CObject root(out);
    root.Key("station");
    CObject station(out);
    station.Text("version", context.version)
        .Text("host", context.hostName)
        .Text("time", IsoTime(now))
        .Text("startTime", IsoTime(snapshot.startTime))
        .Number("uptimeSeconds", std::max<int64_t>(0, now - snapshot.startTime))
        .Number("alsPeriod", snapshot.alsPeriod)
        .Number("logInterval", snapshot.logInterval);
    station.Key("watchList");
    out += '[';
    for (size_t i = 0; i < snapshot.watchList.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::to_string(snapshot.watchList[i]);
    }
    out += ']';
    station.Number("samplesTaken", static_cast<int64_t>(snapshot.samplesTaken))
        .Number("sequence", static_cast<int64_t>(snapshot.sequence));
    station.End();
    root.Key("cards");
    out += '[';
    for (size_t i = 0; i < snapshot.rows.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        const CardCounters counters =
            i < snapshot.counters.size() ? snapshot.counters[i] : CardCounters{};
        AppendCard(out, snapshot.rows[i], counters, context.nowMs);
    }
    out += ']';
    root.End();
    out += '\n';
    return out;
}

std::string SessionsJson(const std::vector<SessionRecord>& sessions) {
    std::string out;
    CObject root(out);
    root.Key("sessions");
    out += '[';
    for (size_t i = 0; i < sessions.size(); ++i) {
        const SessionRecord& record = sessions[i];
        if (i != 0) {
            out += ',';
        }
        CObject session(out);
        session.Number("id", record.id)
            .Number("card", record.card)
            .Number("serial", record.serialNumber)
            .Text("address", record.address)
            .Text("device", record.device)
            .Text("mode", record.mode)
            .Number("mesId", record.mesId)
            .Text("service", record.service)
            .Text("start", IsoTime(record.start));
        if (record.end) {
            session.Text("end", IsoTime(*record.end));
        } else {
            session.Null("end");
        }
        session.Text("outcome", record.outcome).Text("reason", record.reason);
        if (record.duration) {
            session.Number("durationSeconds", *record.duration);
        } else {
            session.Null("durationSeconds");
        }
        session.End();
    }
    out += ']';
    root.End();
    out += '\n';
    return out;
}
