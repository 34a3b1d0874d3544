// The owning handles of SQLite's two C objects, shared by every SQLite layer of the program.
#pragma once

#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace lumsift::sqlite {

struct CloseDatabase {
    void operator()(sqlite3* db) const;
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* stmt) const;
};
// Owns one connection; closes it when destroyed.
using DatabaseHandle = std::unique_ptr<sqlite3, CloseDatabase>;
// Owns one prepared statement; finalises it when destroyed. Must not outlive its connection.
using StatementHandle = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

} // namespace lumsift::sqlite
