// The rows the package's code shares: a version joined with its master, read into a
// VersionRecord, and new uuids.
#include "photolib/PackageRows.h"

#include "platform/scripting/ApertureLibrary.h"

#include <array>
#include <cstdio>
#include <random>
#include <string_view>

namespace lumsift::photolib {
namespace fs = std::filesystem;
using namespace scripting::package;

namespace {

fs::path masterLocation(const fs::path& package, std::string_view imagePath, bool reference) {
    if (imagePath.empty())
        return {};
    if (reference)
        return fs::path("/") / fs::path(imagePath);
    return package / kMastersFolder / fs::path(imagePath);
}

} // namespace

const std::string& versionColumns() {
    // The way from a version to its master, by the names that readers of the package share.
    // Never destroyed: engine threads that are never joined may still read while the process
    // exits.
    static const std::string& columns = *new std::string(
        joined({"SELECT v.", kUuidColumn, ", v.name, v.projectUuid, v.", kMasterUuidColumn,
                ", m.fileName, m.", kImagePathColumn, ", m.", kFileIsReferenceColumn,
                ", m.width, m.height FROM ", kVersionTable, " v LEFT JOIN ", kMasterTable,
                " m ON m.", kUuidColumn, " = v.", kMasterUuidColumn, " "}));
    return columns;
}

VersionRecord versionFromRow(const fs::path& package, const Statement& row) {
    VersionRecord v;
    v.uuid = row.text(0);
    v.name = row.text(1);
    v.projectUuid = row.text(2);
    v.masterUuid = row.text(3);
    v.fileName = row.text(4);
    v.fileIsReference = row.integer(6) != 0;
    v.masterPath = masterLocation(package, row.textView(5), v.fileIsReference);
    v.width = row.integer(7);
    v.height = row.integer(8);
    return v;
}

std::string newUuid() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    const uint64_t high = random();
    const uint64_t low = random();
    std::array<char, 37> text{};
    std::snprintf(text.data(), text.size(), "%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xffff),
                  static_cast<unsigned>(high & 0xffff), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text.data();
}

} // namespace lumsift::photolib
