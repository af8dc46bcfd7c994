// The JSON answers of /api/status (the station, its records' health and its cards) and of
// /api/sessions.
#include "remote/StatusJson.h"

#include <algorithm>

#include "remote/CardJson.h"
#include "remote/Json.h"

namespace {

// {"journal": {"ok": true}, "history": {"ok": false, "since": "...", "error": "..."}}
std::string RecordsJson(const std::vector<RecordTrouble>& troubles) {
    CJsonObject records;
    for (const StationRecord record : {StationRecord::Journal, StationRecord::History}) {
        const auto trouble =
            std::find_if(troubles.begin(), troubles.end(),
                         [record](const RecordTrouble& t) { return t.record == record; });
        CJsonObject state;
        state.Boolean("ok", trouble == troubles.end());
        if (trouble != troubles.end()) {
            state.String("since", IsoLocalTime(trouble->since)).String("error", trouble->why);
        }
        records.Value(RecordName(record), state.Text());
    }
    return records.Text();
}

}  // namespace

std::string StatusJson(const StationSnapshot& snapshot, const StatusContext& context) {
    const int64_t now = context.nowMs / 1000;
    std::vector<std::string> watchList;
    for (const int32_t mesId : snapshot.watchList) {
        watchList.push_back(std::to_string(mesId));
    }
    std::vector<std::string> cards;
    for (size_t i = 0; i < snapshot.rows.size(); ++i) {
        const CardCounters counters =
            i < snapshot.counters.size() ? snapshot.counters[i] : CardCounters{};
        cards.push_back(CardJson(snapshot.rows[i], counters, context.nowMs));
    }
    const std::string station =
        CJsonObject()
            .String("version", context.version)
            .String("host", context.hostName)
            .String("time", IsoLocalTime(now))
            .String("start_time", IsoLocalTime(snapshot.startTime))
            .Number("uptime_seconds", std::max<int64_t>(0, now - snapshot.startTime))
            .Number("als_period", snapshot.alsPeriod)
            .Number("log_interval", snapshot.logInterval)
            .Value("watch_list", JsonArray(watchList))
            .Number("samples_taken", static_cast<int64_t>(snapshot.samplesTaken))
            .Number("sequence", static_cast<int64_t>(snapshot.sequence))
            .Value("records", RecordsJson(snapshot.recordTroubles))
            .Text();
    return CJsonObject().Value("station", station).Value("cards", JsonArray(cards)).Text() + '\n';
}

std::string SessionsJson(const std::vector<SessionRecord>& sessions) {
    // The history keeps the designed blank for "no service"; JSON says null,
    // as the broker's session events do.
    auto blank = [](const std::string& text) {
        return text.find_first_not_of(' ') == std::string::npos;
    };
    std::vector<std::string> records;
    for (const SessionRecord& record : sessions) {
        records.push_back(CJsonObject()
                              .Number("id", record.id)
                              .Number("card", record.card)
                              .Number("serial", record.serialNumber)
                              .String("address", record.address)
                              .String("device", record.device)
                              .String("mode", record.mode)
                              .Number("mes_id", record.mesId)
                              .StringOrNull("service", !blank(record.service), record.service)
                              .String("start", IsoLocalTime(record.start))
                              .StringOrNull("end", record.end.has_value(),
                                            record.end ? IsoLocalTime(*record.end) : "")
                              .String("outcome", record.outcome)
                              .String("reason", record.reason)
                              .NumberOrNull("duration_seconds", record.duration.has_value(),
                                            record.duration.value_or(0))
                              .Text());
    }
    return CJsonObject().Value("sessions", JsonArray(records)).Text() + '\n';
}
