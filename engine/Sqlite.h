// A thin read-only layer over SQLite for the library package's database: one RAII type per
// handle (connection, statement) and the library's result codes turned into our results, with
// the library's message kept.
#pragma once

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

// One read-only connection; closes it when destroyed. Moved, never copied.
class SqliteConnection {
public:
    // Opens the database file at `path` (UTF-8) for reading only: never creates it, never writes
    // it, and leaves no journal files behind where none were (a WAL database whose log file is
    // absent is read as an immutable file). On failure `status` holds the code and message and
    // the result is not open.
    static SqliteConnection openReadOnly(std::string_view path, SqliteStatus& status);

    bool isOpen() const { return db_ != nullptr; }
    // Borrowed; valid while this object lives.
    sqlite3* get() const { return db_.get(); }

private:
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
    // Binds `text` (copied) to the 1-based parameter `index`. Caller guarantees a prepared
    // statement. Returns the outcome.
    SqliteStatus bindText(int index, std::string_view text);
    // One step: a row, the end, or an error (then lastStatus() holds it).
    Step step();
    SqliteStatus lastStatus() const;
    int columnCount() const;
    // Copy of a text column as UTF-8; nullopt for SQL NULL.
    std::optional<std::string> columnText(int column) const;
    int columnInt(int column) const;

private:
    sqlite::StatementHandle stmt_;
    int lastCode_ = SQLITE_OK;
};

} // namespace lumsift
