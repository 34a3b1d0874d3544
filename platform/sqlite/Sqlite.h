// The one thin layer over SQLite: a connection and its prepared statements, each owning its handle,
// and SQLite's result codes turned into our status with SQLite's own message kept. No call here
// throws; what a failure means is the caller's to decide.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sqlite3.h>

#include "platform/sqlite/SqliteHandles.h"

namespace lumsift {

// What an SQLite call answered: its result code and, on failure, the library's message.
struct SqliteStatus {
    int code = SQLITE_OK;
    std::string message;
    bool ok() const { return code == SQLITE_OK; }
};

// One connection; closes it when destroyed. Moved, never copied.
class SqliteConnection {
public:
    // Opens the database file at `path` (UTF-8) for reading only: never creates it, never writes
    // it, and leaves no journal files behind where none were (a WAL database whose log file is
    // absent is read as an immutable file). On failure `status` holds the code and message and
    // the result is not open.
    static SqliteConnection openReadOnly(std::string_view path, SqliteStatus& status);
    // Opens the database file at `path` for reading and writing, making it when missing if
    // `create`, with extended result codes on. The connection must be used by one thread at a
    // time. On failure `status` holds the code and message and the result is not open.
    static SqliteConnection openReadWrite(const std::filesystem::path& path, bool create,
                                          SqliteStatus& status);

    bool isOpen() const { return db_ != nullptr; }
    // Borrowed; valid while this object lives.
    sqlite3* get() const { return db_.get(); }

    // The following need an open connection (caller guarantees).
    // Waits up to `milliseconds` for other connections' locks before a call answers "busy".
    SqliteStatus setBusyTimeout(int milliseconds);
    // Runs one or more statements (copied) that yield no rows.
    SqliteStatus exec(std::string_view sql);
    // Rows changed by the last finished insert, update or delete of this connection.
    int64_t changes() const;

private:
    // Takes ownership of `db` (may be null) as sqlite3_open_v2 left it with `code`; sets `status`.
    static SqliteConnection adopt(int code, sqlite3* db, SqliteStatus& status);

    sqlite::DatabaseHandle db_;
};

// One prepared statement; finalised when destroyed. Moved, never copied. Must not outlive the
// connection it was prepared on.
class SqliteStatement {
public:
    enum class Step { Row, Done, Error };

    // Prepares `sql` (copied by SQLite) on the open connection `db` (borrowed). On failure
    // `status` holds the code and message and the result is not prepared.
    static SqliteStatement prepare(const SqliteConnection& db, std::string_view sql,
                                   SqliteStatus& status);

    bool isPrepared() const { return stmt_ != nullptr; }

    // The following need a prepared statement (caller guarantees). Parameters count from 1;
    // each bind returns its outcome.
    SqliteStatus bindText(int index, std::string_view text); // copies `text`
    SqliteStatus bindInt64(int index, int64_t value);
    SqliteStatus bindNull(int index);
    // One step: a row, the end, or an error (then lastStatus() holds it).
    Step step();
    SqliteStatus lastStatus() const;
    // Makes the statement ready to run again, keeping its bindings.
    void reset();

    // Columns count from 0 and read the current row.
    int columnCount() const;
    // Copy of a text column as UTF-8; nullopt for SQL NULL.
    std::optional<std::string> columnText(int column) const;
    // A text column as UTF-8, empty for SQL NULL. Borrowed: valid until the next step, reset or
    // column call on this column.
    std::string_view columnTextView(int column) const;
    int columnInt(int column) const;
    int64_t columnInt64(int column) const;
    bool columnIsNull(int column) const;

private:
    sqlite::StatementHandle stmt_;
    int lastCode_ = SQLITE_OK;
};

} // namespace lumsift
