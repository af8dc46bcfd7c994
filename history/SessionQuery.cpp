// The session history's reader: one read transaction, the schema's version checked, and a SELECT of
// only the filters given, newest first.
#include "history/SessionQuery.h"

#include <sys/stat.h>

#include "history/SessionHistory.h"

namespace {

// A reader waits this long for a writer that is replaying or checkpointing.
constexpr int BUSY_TIMEOUT_MS = 5000;

// Only the filters given become conditions, so that the indexes on the
// start time and on the MES ID serve them (and give the order without a sort).
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

// Parameters that the text does not name are not bound.
void BindFilter(CSqliteStatement& select, const SessionFilter& filter) {
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
}

void ReadRecord(const CSqliteStatement& select, SessionRecord& record) {
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
}

}  // namespace

SessionQueryResult CSessionReader::Open(const std::string& path, std::string& error) {
    error.clear();
    m_path = path;
    m_db.Close();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = path + " does not exist";
        return SessionQueryResult::NoDatabase;
    }
    if (!m_db.Open(path, CSqliteDatabase::Access::ReadOnly)) {
        error = path + ": " + m_db.Error();
        return SessionQueryResult::Failed;
    }
    m_db.SetBusyTimeout(BUSY_TIMEOUT_MS);
    // One read transaction for every pass, from its first read on: the
    // schema's version.
    std::optional<int64_t> version;
    if (m_db.Exec("BEGIN")) {
        version = m_db.QueryInteger("PRAGMA user_version");
    }
    if (!version) {
        error = path + ": " + m_db.Error();
    } else if (*version != SESSION_SCHEMA_VERSION) {
        error = path + ": no session history of this station (schema version " +
                std::to_string(*version) + ")";
    } else {
        return SessionQueryResult::Ok;
    }
    m_db.Close();
    return SessionQueryResult::Failed;
}

SessionQueryResult CSessionReader::ForEach(const SessionFilter& filter, const SessionVisitor& each,
                                           std::string& error) {
    error.clear();
    if (!m_db.IsOpen()) {
        error = m_path + ": not open";
        return SessionQueryResult::Failed;
    }
    CSqliteStatement select = m_db.Prepare(SelectSessions(filter).c_str());
    if (!select.Valid()) {
        error = m_path + ": " + m_db.Error();
        return SessionQueryResult::Failed;
    }
    BindFilter(select, filter);
    SessionRecord record;
    bool failed = false;
    while (select.NextRow(failed)) {
        ReadRecord(select, record);
        if (!each(record)) {
            return SessionQueryResult::Ok;
        }
    }
    if (failed) {
        error = m_path + ": " + m_db.Error();
        return SessionQueryResult::Failed;
    }
    return SessionQueryResult::Ok;
}

SessionQueryResult ForEachSession(const std::string& path, const SessionFilter& filter,
                                  const SessionVisitor& each, std::string& error) {
    CSessionReader reader;
    const SessionQueryResult opened = reader.Open(path, error);
    return opened == SessionQueryResult::Ok ? reader.ForEach(filter, each, error) : opened;
}

SessionQueryResult QuerySessions(const std::string& path, const SessionFilter& filter,
                                 std::vector<SessionRecord>& sessions, std::string& error) {
    sessions.clear();
    const SessionQueryResult result = ForEachSession(
        path, filter,
        [&sessions](const SessionRecord& session) {
            sessions.push_back(session);
            return true;
        },
        error);
    if (result != SessionQueryResult::Ok) {
        sessions.clear();
    }
    return result;
}
