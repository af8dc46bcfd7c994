// The session history's writer: the database opened or made, each change kept in memory and written
// in one transaction per flush, tried again after a failure. SessionHistory.h draws it.
#include "history/SessionHistory.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <utility>

#include "core/EventText.h"
#include "resources/StringTable.h"

namespace {

constexpr const char* OUTCOME_FOLLOWED = "followed";
constexpr const char* OUTCOME_REFUSED = "refused";
constexpr const char* REASON_STOPPED = "station stopped";

constexpr const char* SCHEMA = R"(
CREATE TABLE runs(
    id INTEGER PRIMARY KEY,
    start_time INTEGER NOT NULL
);
CREATE TABLE sessions(
    id INTEGER PRIMARY KEY,
    run INTEGER NOT NULL,
    card INTEGER NOT NULL,
    serial INTEGER NOT NULL,
    address TEXT NOT NULL,
    device TEXT NOT NULL,
    mode TEXT NOT NULL,
    mes_id INTEGER NOT NULL,
    service TEXT NOT NULL,
    start_time INTEGER NOT NULL,
    end_time INTEGER,
    outcome TEXT NOT NULL,
    reason TEXT NOT NULL,
    duration INTEGER
);
CREATE INDEX sessions_by_start ON sessions(start_time);
CREATE INDEX sessions_by_mes_id ON sessions(mes_id, start_time);
CREATE INDEX sessions_open ON sessions(run, card) WHERE end_time IS NULL;
CREATE TABLE links(
    id INTEGER PRIMARY KEY,
    run INTEGER NOT NULL,
    time INTEGER NOT NULL,
    card INTEGER NOT NULL,
    serial INTEGER NOT NULL,
    address TEXT NOT NULL,
    change TEXT NOT NULL,
    note TEXT NOT NULL
);
PRAGMA user_version = 1;
)";

// Sessions left open by runs that never stopped: their end is not known.
constexpr const char* MARK_UNENDED =
    "UPDATE sessions SET reason = 'run did not end' WHERE end_time IS NULL AND reason = ''";

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CSessionHistory::CSessionHistory(std::string path, FailureReport report)
    : CSessionHistory(std::move(path), std::move(report), Options()) {}

CSessionHistory::CSessionHistory(std::string path, FailureReport report, Options options)
    : m_path(std::move(path)), m_report(std::move(report)), m_options(options) {}

CSessionHistory::~CSessionHistory() = default;

bool CSessionHistory::Records(const StationEvent& event) {
    switch (event.kind) {
        case StationEventKind::SessionFollowed:
        case StationEventKind::SessionRefused:
        case StationEventKind::SessionEnded:
        case StationEventKind::LinkUp:
        case StationEventKind::LinkDown:
        case StationEventKind::LinkFailed:
            return true;
        default:
            return false;
    }
}

void CSessionHistory::Fail(const std::string& what) {
    if (m_health != nullptr) {
        m_health->Failing(StationRecord::History, std::time(nullptr), what);
        m_failing = true;
    }
    if (!std::exchange(m_told, true) && m_report) {
        m_report(what);
    }
}

void CSessionHistory::CloseDatabase() {
    if (m_db.InTransaction()) {
        m_db.Exec("ROLLBACK");
    }
    m_begin = {};
    m_commit = {};
    m_insertSession = {};
    m_closeSession = {};
    m_closeRun = {};
    m_insertLink = {};
    m_db.Close();
}

bool CSessionHistory::Open() {
    const std::string why = Create();
    if (why.empty()) {
        m_openFailedAtMs = -1;
        return true;
    }
    CloseDatabase();
    m_openFailedAtMs = SteadyMilliseconds();
    Fail("Can't open file " + m_path + ": " + why + ".");
    return false;
}

std::string CSessionHistory::Create() {
    // Its files are regular files or not there yet: a link, a FIFO or a
    // folder planted at one of their names is never opened.
    for (const char* end : {"", "-wal", "-shm", "-journal"}) {
        struct stat info {};
        const std::string path = m_path + end;
        if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            return path + " is not a regular file";
        }
    }
    if (!m_db.Open(m_path, CSqliteDatabase::Access::ReadWriteCreate)) {
        return m_db.Error();
    }
    m_db.SetBusyTimeout(m_options.busyLimitMs);
    // The version first: a file that is not this station's history is left
    // as it is, not even switched to WAL.
    const std::optional<int64_t> version = m_db.QueryInteger("PRAGMA user_version");
    if (!version) {
        return m_db.Error();
    }
    if (*version != 0 && *version != SESSION_SCHEMA_VERSION) {
        return "schema version " + std::to_string(*version) + ", this station knows " +
               std::to_string(SESSION_SCHEMA_VERSION);
    }
    // WAL where the file system allows it; another journal mode only costs
    // readers and the writer some waiting. FULL: a commit is on the disk.
    if (!m_db.QueryText("PRAGMA journal_mode = WAL") || !m_db.Exec("PRAGMA synchronous = FULL")) {
        return m_db.Error();
    }
    // IMMEDIATE: the write lock is taken at the start, so a transaction never
    // fails half way for another connection's lock. No other station writes
    // here (the data folder's lock), so the version read above still holds.
    m_begin = m_db.Prepare("BEGIN IMMEDIATE");
    m_commit = m_db.Prepare("COMMIT");
    if (!m_begin.Valid() || !m_commit.Valid() || !m_begin.Run()) {
        return m_db.Error();
    }
    if ((*version == 0 && !m_db.Exec(SCHEMA)) || !m_db.Exec(MARK_UNENDED)) {
        return m_db.Error();
    }
    // Prepared once the tables exist.
    CSqliteStatement insertRun = m_db.Prepare("INSERT INTO runs(start_time) VALUES(?1)");
    m_insertSession = m_db.Prepare(
        "INSERT INTO sessions(run, card, serial, address, device, mode, mes_id, service, "
        "start_time, end_time, outcome, reason, duration) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
    m_closeSession = m_db.Prepare(
        "UPDATE sessions SET end_time = ?1, duration = ?2, reason = ?3 "
        "WHERE run = ?4 AND card = ?5 AND end_time IS NULL");
    m_closeRun = m_db.Prepare(
        "UPDATE sessions SET end_time = ?1, duration = max(0, ?1 - start_time), reason = ?2 "
        "WHERE run = ?3 AND end_time IS NULL");
    m_insertLink = m_db.Prepare(
        "INSERT INTO links(run, time, card, serial, address, change, note) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (!insertRun.Valid() || !m_insertSession.Valid() || !m_closeSession.Valid() ||
        !m_closeRun.Valid() || !m_insertLink.Valid()) {
        return m_db.Error();
    }
    insertRun.Bind(1, m_runStart > 0 ? m_runStart : static_cast<int64_t>(std::time(nullptr)));
    if (!insertRun.Run()) {
        return m_db.Error();
    }
    m_run = m_db.LastInsertId();
    if (!m_commit.Run()) {
        return m_db.Error();
    }
    return {};
}

int64_t CSessionHistory::TimeOf(const StationEvent& event) const {
    if (m_runStart == 0) {
        return event.wallTime;
    }
    // In milliseconds, so that the time agrees with the wall clock's second of
    // the event while the wall clock was not set.
    return (m_runStartWallMs + std::max<int64_t>(0, event.steadyMs - m_runStartSteadyMs)) / 1000;
}

void CSessionHistory::OnRunStarted(const StationInfo& info) {
    m_runStart = info.startTime;
    m_runStartSteadyMs = info.startSteadyMs;
    m_runStartWallMs = info.startWallMs != 0 ? info.startWallMs : info.startTime * 1000;
    m_lastTime = std::max(m_lastTime, info.startTime);
    m_lastSeenMs = SteadyMilliseconds();
    m_cards.clear();
    for (const CardState& card : info.cards) {
        m_cards.push_back(CardText{card.address, LoadResourceString(IDS_DEVICE_BASE + card.device),
                                   LoadResourceString(IDS_MODE_BASE + card.mode)});
    }
}

void CSessionHistory::OnEvent(const StationEvent& event) {
    Change change;
    change.card = event.card;
    change.serialNumber = event.serialNumber;
    change.mesId = event.mesId;
    change.service = event.service;
    change.time = TimeOf(event);
    switch (event.kind) {
        case StationEventKind::SessionFollowed:
            change.kind = ChangeKind::Followed;
            break;
        case StationEventKind::SessionRefused:
            change.kind = ChangeKind::Refused;
            change.reason =
                RefusalText(event.reason, event.heldBy) + "; " + RefusalActionText(event.action);
            break;
        case StationEventKind::SessionEnded:
            change.kind = ChangeKind::Ended;
            change.seconds = event.value;
            change.reason = SessionEndText(event.reason);
            break;
        case StationEventKind::LinkUp:
        case StationEventKind::LinkDown:
        case StationEventKind::LinkFailed:
            change.kind = ChangeKind::Link;
            change.linkChange = event.kind == StationEventKind::LinkUp     ? "up"
                                : event.kind == StationEventKind::LinkDown ? "down"
                                                                           : "failed";
            change.reason = LinkNoteText(event.reason);
            break;
        default:
            return;
    }
    m_lastTime = std::max(m_lastTime, change.time);
    m_lastSeenMs = SteadyMilliseconds();
    Keep(std::move(change));
}

void CSessionHistory::OnRunStopped() {
    // The stop carries no time of its own; it follows the run's last event.
    Change change;
    change.kind = ChangeKind::Stopped;
    // By the steady clock since the last event, as the events' own times are.
    change.time =
        m_lastSeenMs > 0
            ? m_lastTime + std::max<int64_t>(0, SteadyMilliseconds() - m_lastSeenMs) / 1000
            : std::max<int64_t>(std::time(nullptr), m_lastTime);
    m_stopping = true;
    Keep(std::move(change));
}

void CSessionHistory::Keep(Change change) {
    m_kept.push_back(std::move(change));
    if (m_kept.size() > m_options.maxKept) {
        m_kept.pop_front();
    }
}

void CSessionHistory::Flush() {
    const int64_t now = SteadyMilliseconds();
    if (!m_db.IsOpen()) {
        // Not open (yet): tried again at its pace once an open failed.
        if (m_openFailedAtMs < 0 ||
            (!m_stopping && now - m_openFailedAtMs < m_options.reopenPaceMs) || !Open()) {
            return;
        }
    }
    if (m_kept.empty()) {
        if (std::exchange(m_failing, false)) {
            m_health->Resumed(StationRecord::History);
        }
        return;
    }
    if (m_failedAtMs >= 0 && !m_stopping && now - m_failedAtMs < m_options.retryPaceMs) {
        return;
    }
    if (Write()) {
        m_kept.clear();
        m_failedAtMs = -1;
        if (std::exchange(m_failing, false)) {
            m_health->Resumed(StationRecord::History);
        }
        return;
    }
    const std::string why = m_db.Error();
    if (m_db.InTransaction()) {
        m_db.Exec("ROLLBACK");
    }
    m_failedAtMs = now;
    Fail("Can't write file " + m_path + ": " + why + ".");
}

bool CSessionHistory::Write() {
    if (!m_begin.Run()) {
        return false;
    }
    for (const Change& change : m_kept) {
        if (!WriteChange(change)) {
            return false;
        }
    }
    return m_commit.Run();
}

bool CSessionHistory::InsertSession(const Change& change, int64_t start,
                                    const std::optional<int64_t>& end, const char* outcome) {
    const CardText none;
    const CardText& card = change.card >= 1 && static_cast<size_t>(change.card) <= m_cards.size()
                               ? m_cards[static_cast<size_t>(change.card - 1)]
                               : none;
    CSqliteStatement& insert = m_insertSession;
    insert.Bind(1, m_run);
    insert.Bind(2, int64_t{change.card});
    insert.Bind(3, int64_t{change.serialNumber});
    insert.Bind(4, card.address);
    insert.Bind(5, card.device);
    insert.Bind(6, card.mode);
    insert.Bind(7, int64_t{change.mesId});
    insert.Bind(8, LoadResourceString(IDS_SERVICE_BASE + change.service));
    insert.Bind(9, start);
    insert.Bind(10, end);
    insert.Bind(11, std::string(outcome));
    insert.Bind(12, change.reason);
    insert.Bind(13, end ? std::optional<int64_t>(*end - start) : std::nullopt);
    return insert.Run();
}

bool CSessionHistory::WriteChange(const Change& change) {
    switch (change.kind) {
        case ChangeKind::Followed:
            return InsertSession(change, change.time, std::nullopt, OUTCOME_FOLLOWED);
        case ChangeKind::Refused:
            return InsertSession(change, change.time, change.time, OUTCOME_REFUSED);
        case ChangeKind::Ended:
            m_closeSession.Bind(1, change.time);
            m_closeSession.Bind(2, change.seconds);
            m_closeSession.Bind(3, change.reason);
            m_closeSession.Bind(4, m_run);
            m_closeSession.Bind(5, int64_t{change.card});
            if (!m_closeSession.Run()) {
                return false;
            }
            // Its start was given up while writes failed: the end tells when it began.
            return m_db.Changes() != 0 || InsertSession(change, change.time - change.seconds,
                                                        change.time, OUTCOME_FOLLOWED);
        case ChangeKind::Link: {
            const std::string address =
                change.card >= 1 && static_cast<size_t>(change.card) <= m_cards.size()
                    ? m_cards[static_cast<size_t>(change.card - 1)].address
                    : std::string();
            m_insertLink.Bind(1, m_run);
            m_insertLink.Bind(2, change.time);
            m_insertLink.Bind(3, int64_t{change.card});
            m_insertLink.Bind(4, int64_t{change.serialNumber});
            m_insertLink.Bind(5, address);
            m_insertLink.Bind(6, std::string(change.linkChange));
            m_insertLink.Bind(7, change.reason);
            return m_insertLink.Run();
        }
        case ChangeKind::Stopped:
            m_closeRun.Bind(1, change.time);
            m_closeRun.Bind(2, std::string(REASON_STOPPED));
            m_closeRun.Bind(3, m_run);
            return m_closeRun.Run();
    }
    return false;
}
