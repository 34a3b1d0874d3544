// The SQLite layer: connections and statements, and SQLite's result codes as our status.
#include "platform/sqlite/Sqlite.h"

#include <filesystem>
#include <utility>

namespace lumsift {
namespace {

// A file: URI for `path`, every byte outside the unreserved set and "/" percent-encoded so that
// "?", "#" and "%" in folder names stay part of the path. An absolute path follows an empty
// authority ("file://" + path), so that a path beginning with "//" is never read as a host.
std::string fileUri(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = path.starts_with('/') ? "file://" : "file:";
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                           (b >= '0' && b <= '9') || b == '/' || b == '-' || b == '_' || b == '.' ||
                           b == '~';
        if (plain) {
            uri += c;
            continue;
        }
        uri += '%';
        uri += kHex[b >> 4];
        uri += kHex[b & 0xF];
    }
    return uri;
}

SqliteStatus statusOf(int code, sqlite3* db) {
    if (code == SQLITE_OK) {
        return {};
    }
    return {code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code)};
}

} // namespace

SqliteConnection SqliteConnection::openReadOnly(std::string_view path, SqliteStatus& status) {
    // A read-only connection to a WAL database makes its "-wal" and "-shm" files when they are
    // missing and leaves them behind. Without a log file every committed page is in the main
    // file, so it is read as immutable and nothing is created beside it.
    std::error_code ec;
    const bool hasLog = std::filesystem::exists(std::string(path) + "-wal", ec);
    const std::string uri = fileUri(path) + (hasLog ? "?mode=ro" : "?mode=ro&immutable=1");
    sqlite3* db = nullptr;
    const int code =
        sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    return adopt(code, db, status);
}

SqliteConnection SqliteConnection::openReadWrite(const std::filesystem::path& path, bool create,
                                                 SqliteStatus& status) {
    sqlite3* db = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int code = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    SqliteConnection connection = adopt(code, db, status);
    if (connection.isOpen()) {
        sqlite3_extended_result_codes(db, 1);
    }
    return connection;
}

SqliteConnection SqliteConnection::adopt(int code, sqlite3* db, SqliteStatus& status) {
    SqliteConnection connection;
    connection.db_.reset(db); // closed on every way out, also when the open failed
    status = statusOf(code, db);
    if (!status.ok()) {
        return SqliteConnection();
    }
    return connection;
}

SqliteStatus SqliteConnection::setBusyTimeout(int milliseconds) {
    return statusOf(sqlite3_busy_timeout(db_.get(), milliseconds), db_.get());
}

SqliteStatus SqliteConnection::exec(std::string_view sql) {
    const std::string text(sql);
    return statusOf(sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, nullptr), db_.get());
}

int64_t SqliteConnection::changes() const {
    return sqlite3_changes64(db_.get());
}

SqliteStatement SqliteStatement::prepare(const SqliteConnection& db, std::string_view sql,
                                         SqliteStatus& status) {
    SqliteStatement statement;
    sqlite3_stmt* stmt = nullptr;
    const int code =
        sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    statement.stmt_.reset(stmt);
    status = statusOf(code, db.get());
    if (!status.ok()) {
        return SqliteStatement();
    }
    return statement;
}

SqliteStatus SqliteStatement::bindText(int index, std::string_view text) {
    const int code = sqlite3_bind_text(stmt_.get(), index, text.data(),
                                       static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return statusOf(code, sqlite3_db_handle(stmt_.get()));
}

SqliteStatus SqliteStatement::bindInt64(int index, int64_t value) {
    return statusOf(sqlite3_bind_int64(stmt_.get(), index, value), sqlite3_db_handle(stmt_.get()));
}

SqliteStatus SqliteStatement::bindNull(int index) {
    return statusOf(sqlite3_bind_null(stmt_.get(), index), sqlite3_db_handle(stmt_.get()));
}

SqliteStatement::Step SqliteStatement::step() {
    lastCode_ = sqlite3_step(stmt_.get());
    if (lastCode_ == SQLITE_ROW) {
        return Step::Row;
    }
    if (lastCode_ == SQLITE_DONE) {
        return Step::Done;
    }
    return Step::Error;
}

SqliteStatus SqliteStatement::lastStatus() const {
    if (lastCode_ == SQLITE_ROW || lastCode_ == SQLITE_DONE) {
        return {};
    }
    return statusOf(lastCode_, sqlite3_db_handle(stmt_.get()));
}

void SqliteStatement::reset() {
    sqlite3_reset(stmt_.get());
    lastCode_ = SQLITE_OK;
}

int SqliteStatement::columnCount() const {
    return sqlite3_column_count(stmt_.get());
}

std::optional<std::string> SqliteStatement::columnText(int column) const {
    const std::string_view text = columnTextView(column);
    if (text.data() == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

std::string_view SqliteStatement::columnTextView(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), column));
    if (text == nullptr) {
        return {};
    }
    return {text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_.get(), column))};
}

int SqliteStatement::columnInt(int column) const {
    return sqlite3_column_int(stmt_.get(), column);
}

int64_t SqliteStatement::columnInt64(int column) const {
    return sqlite3_column_int64(stmt_.get(), column);
}

bool SqliteStatement::columnIsNull(int column) const {
    return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL;
}

} // namespace lumsift
