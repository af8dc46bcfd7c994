// The SQLite connection and its prepared statements: the one file that calls the library.
#include "history/SqliteDatabase.h"

#include <sqlite3.h>

#include <utility>

CSqliteStatement::~CSqliteStatement() {
    sqlite3_finalize(m_statement);
}

CSqliteStatement::CSqliteStatement(CSqliteStatement&& other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr)) {}

CSqliteStatement& CSqliteStatement::operator=(CSqliteStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(m_statement);
        m_statement = std::exchange(other.m_statement, nullptr);
    }
    return *this;
}

void CSqliteStatement::Bind(int index, int64_t value) {
    sqlite3_bind_int64(m_statement, index, value);
}

void CSqliteStatement::Bind(int index, const std::string& value) {
    sqlite3_bind_text(m_statement, index, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
}

void CSqliteStatement::Bind(int index, const std::optional<int64_t>& value) {
    if (value) {
        Bind(index, *value);
    } else {
        sqlite3_bind_null(m_statement, index);
    }
}

bool CSqliteStatement::NextRow(bool& error) {
    const int result = sqlite3_step(m_statement);
    error = result != SQLITE_ROW && result != SQLITE_DONE;
    return result == SQLITE_ROW;
}

bool CSqliteStatement::Run() {
    bool error = false;
    while (NextRow(error)) {
    }
    Reset();
    return !error;
}

void CSqliteStatement::Reset() {
    // The step's error was seen already; reset repeats it and is not needed.
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

int64_t CSqliteStatement::Integer(int column) const {
    return sqlite3_column_int64(m_statement, column);
}

std::optional<int64_t> CSqliteStatement::OptionalInteger(int column) const {
    if (sqlite3_column_type(m_statement, column) == SQLITE_NULL) {
        return std::nullopt;
    }
    return Integer(column);
}

std::string CSqliteStatement::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(m_statement, column);
    if (text == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(m_statement, column)));
}

CSqliteDatabase::~CSqliteDatabase() {
    Close();
}

bool CSqliteDatabase::Open(const std::string& path, Access access) {
    Close();
    const int flags = access == Access::ReadOnly
                          ? SQLITE_OPEN_READONLY
                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW;
    const int result = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (result != SQLITE_OK) {
        // A handle comes back even on failure (unless memory ran out); it holds the text.
        m_openError = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(result);
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_extended_result_codes(m_db, 1);
    return true;
}

void CSqliteDatabase::Close() {
    if (m_db != nullptr) {
        // A checkpoint that fails here (a full disk) leaves the write-ahead
        // log in place; the next connection replays it.
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

void CSqliteDatabase::SetBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(m_db, milliseconds);
}

bool CSqliteDatabase::Exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

CSqliteStatement CSqliteDatabase::Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(statement);
        return CSqliteStatement();
    }
    return CSqliteStatement(statement);
}

std::optional<int64_t> CSqliteDatabase::QueryInteger(const char* sql) {
    CSqliteStatement statement = Prepare(sql);
    bool error = false;
    if (!statement.Valid() || !statement.NextRow(error)) {
        return std::nullopt;
    }
    return statement.Integer(0);
}

std::optional<std::string> CSqliteDatabase::QueryText(const char* sql) {
    CSqliteStatement statement = Prepare(sql);
    bool error = false;
    if (!statement.Valid() || !statement.NextRow(error)) {
        return std::nullopt;
    }
    return statement.Text(0);
}

int64_t CSqliteDatabase::LastInsertId() const {
    return sqlite3_last_insert_rowid(m_db);
}

int64_t CSqliteDatabase::Changes() const {
    return sqlite3_changes64(m_db);
}

bool CSqliteDatabase::InTransaction() const {
    return m_db != nullptr && sqlite3_get_autocommit(m_db) == 0;
}

std::string CSqliteDatabase::Error() const {
    return m_db != nullptr ? sqlite3_errmsg(m_db) : m_openError;
}
