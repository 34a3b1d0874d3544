// The stand-in's use of the SQLite layer: statements, connections and transactions that throw
// ScriptingError, of a kind chosen from SQLite's result code, with SQLite's message.
#include "photolib/Database.h"

namespace lumsift::photolib {

using scripting::ScriptingError;

void check(const SqliteStatus& status, std::string_view what) {
    if (status.ok())
        return;
    const int primary = status.code & 0xff;
    const char* kind = "LibraryDatabase";
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        kind = "LibraryLocked";
    else if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        kind = "LibraryDamaged";
    throw ScriptingError(kind, std::string(what) + ": " + status.message);
}

Statement::Statement(Connection& connection, std::string_view sql) {
    SqliteStatus status;
    stmt_ = SqliteStatement::prepare(connection.sqlite(), sql, status);
    check(status, "cannot read the library database");
}

Statement& Statement::bind(int index, std::string_view text) {
    check(stmt_.bindText(index, text), "cannot bind a value");
    return *this;
}

Statement& Statement::bind(int index, int64_t value) {
    check(stmt_.bindInt64(index, value), "cannot bind a value");
    return *this;
}

Statement& Statement::bindNull(int index) {
    check(stmt_.bindNull(index), "cannot bind a value");
    return *this;
}

bool Statement::step() {
    const SqliteStatement::Step step = stmt_.step();
    if (step == SqliteStatement::Step::Error)
        check(stmt_.lastStatus(), "library database request failed");
    return step == SqliteStatement::Step::Row;
}

void Statement::run() {
    while (step()) {
    }
}

Connection::Connection(const std::filesystem::path& path, Mode mode) {
    SqliteStatus status;
    db_ = mode == Mode::ReadOnly
              ? SqliteConnection::openReadOnly(path.string(), status)
              : SqliteConnection::openReadWrite(path, mode == Mode::Create, status);
    std::string what = "cannot open the library database ";
    what += path.string();
    check(status, what);
    // Other threads and photolib may be writing: wait for them rather than fail.
    check(db_.setBusyTimeout(15000), "cannot set the busy timeout");
}

void Connection::exec(std::string_view sql) {
    check(db_.exec(sql), "library database request failed");
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
    connection_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (open_)
        connection_.sqlite().exec("ROLLBACK"); // nothing more to do when even this fails
}

void Transaction::commit() {
    connection_.exec("COMMIT");
    open_ = false;
}

} // namespace lumsift::photolib
