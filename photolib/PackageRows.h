// The rows of the library database that the package's import, reads and writes share: projects,
// a version read with its master, and the identifiers of new rows.
#pragma once

#include "photolib/Database.h"
#include "photolib/LibraryPackage.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace lumsift::photolib {

// RKFolder's folderType of a project.
inline constexpr int64_t kProjectFolderType = 2;

// "SELECT <a version's columns and its master's> FROM RKVersion v LEFT JOIN RKMaster m ON ... ",
// for a query to go on with its WHERE; the columns as versionFromRow() reads them. Cannot fail.
const std::string& versionColumns();

// The version of the current row of a query that begins with versionColumns(), with its master's
// path made absolute for the package at `package`. Cannot fail.
VersionRecord versionFromRow(const std::filesystem::path& package, const Statement& row);

// A new random identifier, written as the library writes its uuids (8-4-4-4-12 hexadecimal
// digits). Cannot fail.
std::string newUuid();

} // namespace lumsift::photolib
