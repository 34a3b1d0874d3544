// The library package's database as the stand-in uses it: the SQLite layer of platform/sqlite with
// every failure thrown as ScriptingError (SQLite's message kept), and write transactions that
// undo themselves on every way out.
#pragma once

#include "platform/scripting/Aperture.h"
#include "platform/sqlite/Sqlite.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace lumsift::photolib {

// Throws ScriptingError for a failed `status`, with the kind "LibraryLocked" for a busy or locked
// database, "LibraryDamaged" for a damaged one and "LibraryDatabase" otherwise; `what` says what
// was being done. Returns when `status` is a success.
void check(const SqliteStatus& status, std::string_view what);

class Connection;

// One prepared statement of a connection. Borrows the connection, which must outlive it.
// Every call throws ScriptingError on failure.
class Statement {
public:
    Statement(Connection& connection, std::string_view sql);

    // Parameters count from 1. Text is copied by SQLite.
    Statement& bind(int index, std::string_view text);
    Statement& bind(int index, int64_t value);
    Statement& bindNull(int index);
    // True when a row is ready; false when the statement is done.
    bool step();
    // Steps a statement that yields no rows.
    void run();
    // Makes the statement ready to run again, keeping its bindings.
    void reset() { stmt_.reset(); }

    // Columns count from 0 and read the current row. The view is borrowed: valid until the next
    // step, reset or column call on this column.
    std::string_view textView(int column) const { return stmt_.columnTextView(column); }
    std::string text(int column) const { return std::string(textView(column)); }
    int64_t integer(int column) const { return stmt_.columnInt64(column); }
    bool isNull(int column) const { return stmt_.columnIsNull(column); }

private:
    SqliteStatement stmt_;
};

// One connection to a database file, with a busy timeout so that other threads' and processes'
// writers are waited for rather than failed.
class Connection {
public:
    enum class Mode {
        ReadWrite,
        Create,   // read and write, making the file when missing
        ReadOnly, // never writes, never makes a file beside the database
    };
    // Opens `path`. Throws ScriptingError when it cannot be opened.
    Connection(const std::filesystem::path& path, Mode mode);

    // Borrowed; valid while this object lives.
    SqliteConnection& sqlite() { return db_; }
    // Runs one or more statements that yield no rows.
    void exec(std::string_view sql);
    Statement prepare(std::string_view sql) { return Statement(*this, sql); }
    // Rows changed by the last finished insert, update or delete of this connection.
    int64_t changes() const { return db_.changes(); }

private:
    SqliteConnection db_;
};

// An immediate (write) transaction: begun on construction, rolled back when destroyed without
// commit(), so every way out of a failing command leaves the database unchanged. Borrows the
// connection.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Connection& connection_;
    bool open_ = true;
};

} // namespace lumsift::photolib
