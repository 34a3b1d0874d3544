// The SQLite layer of the library package: handles, statements, transactions, and the translation
// of SQLite's result codes into ScriptingError.
#include "platform/scripting/Sqlite.h"

#include <sqlite3.h>

namespace lumsift::scripting::sqlite {

void check(sqlite3* db, int rc, std::string_view what) {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE)
        return;
    const int primary = rc & 0xff;
    const char* kind = "LibraryDatabase";
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        kind = "LibraryLocked";
    else if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        kind = "LibraryDamaged";
    const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    throw ScriptingError(kind, std::string(what) + ": " + message);
}

Statement::Statement(Connection& connection, std::string_view sql) : db_(connection.get()) {
    sqlite3_stmt* stmt = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    stmt_.reset(stmt);
    check(db_, rc, "cannot read the library database");
}

Statement& Statement::bind(int index, std::string_view text) {
    check(db_,
          sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT),
          "cannot bind a value");
    return *this;
}

Statement& Statement::bind(int index, int64_t value) {
    check(db_, sqlite3_bind_int64(stmt_.get(), index, value), "cannot bind a value");
    return *this;
}

Statement& Statement::bindNull(int index) {
    check(db_, sqlite3_bind_null(stmt_.get(), index), "cannot bind a value");
    return *this;
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_.get());
    check(db_, rc, "library database request failed");
    return rc == SQLITE_ROW;
}

void Statement::run() {
    while (step()) {
    }
}

void Statement::reset() {
    sqlite3_reset(stmt_.get());
}

std::string_view Statement::textView(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), column));
    if (text == nullptr)
        return {};
    return {text, static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column))};
}

int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(stmt_.get(), column);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL;
}

Connection::Connection(const std::filesystem::path& path, bool create) {
    sqlite3* db = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    db_.reset(db);
    check(db, rc, "cannot open the library database " + path.string());
    // Other threads and photolib may be writing: wait for them rather than fail.
    check(db, sqlite3_busy_timeout(db, 15000), "cannot set the busy timeout");
    sqlite3_extended_result_codes(db, 1);
}

void Connection::exec(std::string_view sql) {
    const std::string text(sql);
    check(db_.get(), sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, nullptr),
          "library database request failed");
}

int64_t Connection::changes() const {
    return sqlite3_changes64(db_.get());
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
    connection_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (open_)
        sqlite3_exec(connection_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    connection_.exec("COMMIT");
    open_ = false;
}

} // namespace lumsift::scripting::sqlite
