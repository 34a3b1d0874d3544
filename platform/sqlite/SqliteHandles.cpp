// The owning handles of SQLite's connection and statement.
#include "platform/sqlite/SqliteHandles.h"

#include <sqlite3.h>

namespace lumsift::sqlite {

void CloseDatabase::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

void FinalizeStatement::operator()(sqlite3_stmt* stmt) const {
    sqlite3_finalize(stmt);
}

} // namespace lumsift::sqlite
