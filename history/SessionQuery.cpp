#include "history/SessionQuery.h"

#include <sys/stat.h>

#include "history/SessionHistory.h"
#include "history/SqliteDatabase.h"

namespace {

// A reader waits this long for a writer that is replaying or checkpointing.
constexpr int BUSY_TIMEOUT_MS = 5000;

// Only the filters given become conditions, so that the indexes on the
// start time and on the MES ID serve them.
std::string SelectSessions(const SessionFilter& filter) {
    std::string sql =
        "SELECT id, card, serial, address, device, mode, mes_id, service, start_time, "
        "end_time, outcome, reason, duration FROM sessions WHERE 1";
    if (filter.mesId) {
        sql += " AND mes_id = ?1";
    }
    if (filter.card) {
        sql += " AND card = ?2";
    }
    if (filter.since) {
        sql += " AND start_time >= ?3";
    }
    if (filter.until) {
        sql += " AND start_time < ?4";
    }
    return sql + " ORDER BY start_time DESC, id DESC LIMIT ?5";
}

}  // namespace

SessionQueryResult QuerySessions(const std::string& path, const SessionFilter& filter,
                                 std::vector<SessionRecord>& sessions, std::string& error) {
    sessions.clear();
    error.clear();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = path + " does not exist";
        return SessionQueryResult::NoDatabase;
    }
    CSqliteDatabase db;
    if (!db.Open(path, CSqliteDatabase::Access::ReadOnly)) {
        error = path + ": " + db.Error();
        return SessionQueryResult::Failed;
    }
    db.SetBusyTimeout(BUSY_TIMEOUT_MS);
    const std::optional<int64_t> version = db.QueryInteger("PRAGMA user_version");
    if (!version) {
        error = path + ": " + db.Error();
        return SessionQueryResult::Failed;
    }
    if (*version != SESSION_SCHEMA_VERSION) {
        error = path + ": no session history of this station (schema version " +
                std::to_string(*version) + ")";
        return SessionQueryResult::Failed;
    }

    CSqliteStatement select = db.Prepare(SelectSessions(filter).c_str());
    if (!select.Valid()) {
        error = path + ": " + db.Error();
        return SessionQueryResult::Failed;
    }
    // Parameters that the text does not name are not bound.
    if (filter.mesId) {
        select.Bind(1, int64_t{*filter.mesId});
    }
    if (filter.card) {
        select.Bind(2, int64_t{*filter.card});
    }
    if (filter.since) {
        select.Bind(3, *filter.since);
    }
    if (filter.until) {
        select.Bind(4, *filter.until);
    }
    select.Bind(5, filter.limit == 0 ? int64_t{-1} : static_cast<int64_t>(filter.limit));
    bool failed = false;
    while (select.NextRow(failed)) {
        SessionRecord record;
        record.id = select.Integer(0);
        record.card = static_cast<int32_t>(select.Integer(1));
        record.serialNumber = static_cast<int32_t>(select.Integer(2));
        record.address = select.Text(3);
        record.device = select.Text(4);
        record.mode = select.Text(5);
        record.mesId = static_cast<int32_t>(select.Integer(6));
        record.service = select.Text(7);
        record.start = select.Integer(8);
        record.end = select.OptionalInteger(9);
        record.outcome = select.Text(10);
        record.reason = select.Text(11);
        record.duration = select.OptionalInteger(12);
        sessions.push_back(std::move(record));
    }
    if (failed) {
        error = path + ": " + db.Error();
        sessions.clear();
        return SessionQueryResult::Failed;
    }
    return SessionQueryResult::Ok;
}
