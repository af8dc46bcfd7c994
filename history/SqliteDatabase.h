// The one place that speaks to SQLite: a connection and its prepared
// statements, each an owning handle. The session history writes through it
// and its readers read through it; nothing else includes the library's header,
// so the library can be swapped here alone.
//
// A connection and its statements are used by one thread at a time; they may
// be handed to another thread between uses (the history is opened on the
// thread that attaches it and written on its own).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class CSqliteStatement {
public:
    CSqliteStatement() = default;
    ~CSqliteStatement();
    CSqliteStatement(CSqliteStatement&& other) noexcept;
    CSqliteStatement& operator=(CSqliteStatement&& other) noexcept;
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    bool Valid() const { return m_statement != nullptr; }

    // Parameters are numbered from 1, as in the SQL text (?1, ?2, ...).
    void Bind(int index, int64_t value);
    void Bind(int index, const std::string& value);
    void Bind(int index, const std::optional<int64_t>& value);  // nullopt: NULL

    // One step: true while it yields a row. `error` is set when it failed.
    bool NextRow(bool& error);
    // Steps to the end, then resets the statement and clears its parameters.
    // False when a step failed.
    bool Run();
    void Reset();

    int64_t Integer(int column) const;
    std::optional<int64_t> OptionalInteger(int column) const;  // NULL: nullopt
    std::string Text(int column) const;

private:
    friend class CSqliteDatabase;
    explicit CSqliteStatement(sqlite3_stmt* statement) : m_statement(statement) {}

    sqlite3_stmt* m_statement = nullptr;
};

class CSqliteDatabase {
public:
    enum class Access {
        ReadOnly,         // an existing database, never written
        ReadWriteCreate,  // created when missing
    };

    CSqliteDatabase() = default;
    ~CSqliteDatabase();
    CSqliteDatabase(const CSqliteDatabase&) = delete;
    CSqliteDatabase& operator=(const CSqliteDatabase&) = delete;

    // False when the file cannot be opened; Error() tells why. A file that is
    // no database shows only at the first statement.
    bool Open(const std::string& path, Access access);
    // Finalise every statement before this.
    void Close();
    bool IsOpen() const { return m_db != nullptr; }

    // How long a statement waits for another connection's lock before it fails.
    void SetBusyTimeout(int milliseconds);
    // Runs statements that yield no rows of interest. False on the first failure.
    bool Exec(const char* sql);
    // An invalid statement when the text cannot be prepared; Error() tells why.
    CSqliteStatement Prepare(const char* sql);
    // The first column of the first row of a query (a PRAGMA), when there is one.
    std::optional<int64_t> QueryInteger(const char* sql);
    std::optional<std::string> QueryText(const char* sql);

    int64_t LastInsertId() const;
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int64_t Changes() const;
    // True between BEGIN and COMMIT (SQLite ends a transaction by itself on some failures).
    bool InTransaction() const;
    // The library's text for the last failure on this connection.
    std::string Error() const;

private:
    sqlite3* m_db = nullptr;
    std::string m_openError;
};
