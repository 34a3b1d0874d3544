// The library package itself: its schema, making a package and opening one (checking that it is a
// library's and whole), finishing what an interrupted import left, and the master list in
// ApertureData.xml. Its imports, reads and writes have files of their own.
#include "photolib/LibraryPackage.h"

#include "photolib/AtomicFile.h"
#include "photolib/Failure.h"
#include "photolib/ImportStaging.h"
#include "platform/plist/Plist.h"
#include "platform/scripting/ApertureLibrary.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>

#include <unistd.h>

namespace lumsift::photolib {
namespace fs = std::filesystem;
using scripting::ScriptingError;
using namespace scripting::package;

namespace {

constexpr std::string_view kApplicationVersion = "3.6.1";

// The library's tables. Readers of the package find master files through RKMaster and
// RKVersion, by the names they share with us.
std::string schema() {
    const std::string masters =
        joined({"CREATE TABLE ", kMasterTable, "(", kUuidColumn, " TEXT PRIMARY KEY, ",
                kImagePathColumn, " TEXT, ", kFileIsReferenceColumn,
                " INTEGER, fileName TEXT, width INTEGER, height INTEGER);\n"});
    const std::string versions =
        joined({"CREATE TABLE ", kVersionTable, "(", kUuidColumn, " TEXT PRIMARY KEY, name TEXT, ",
                kMasterUuidColumn, " TEXT, projectUuid TEXT, sortIndex INTEGER);\n"});
    return joined({"CREATE TABLE RKFolder(uuid TEXT PRIMARY KEY, name TEXT, folderType INTEGER, "
                   "sortIndex INTEGER);\n",
                   masters, versions, R"sql(
CREATE TABLE RKCustomTag(versionUuid TEXT, name TEXT, value TEXT, PRIMARY KEY(versionUuid, name));
CREATE TABLE RKKeyword(uuid TEXT PRIMARY KEY, name TEXT, parentUuid TEXT);
CREATE TABLE RKKeywordForVersion(versionUuid TEXT, keywordUuid TEXT, sortIndex INTEGER);
CREATE TABLE RKSelection(versionUuid TEXT, sortIndex INTEGER);
CREATE TABLE RKProperty(key TEXT PRIMARY KEY, value TEXT);
CREATE INDEX RKVersion_project ON RKVersion(projectUuid, sortIndex);
CREATE INDEX RKVersion_name ON RKVersion(name);
CREATE INDEX RKCustomTag_version ON RKCustomTag(versionUuid);
CREATE INDEX RKKeyword_parent ON RKKeyword(parentUuid, name);
CREATE INDEX RKKeywordForVersion_version ON RKKeywordForVersion(versionUuid, sortIndex);
)sql"});
}

// The tables of schema(); a database without any of them is not a library's.
constexpr std::array<std::string_view, 8> kTables = {
    "RKFolder",  kMasterTable,          kVersionTable, "RKCustomTag",
    "RKKeyword", "RKKeywordForVersion", "RKSelection", "RKProperty"};

} // namespace

fs::path packageFolder(const fs::path& package) {
    fs::path path = fs::absolute(package).lexically_normal();
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

fs::path libraryDatabasePath(const fs::path& package) {
    return package / kDatabasePath;
}

LibraryPackage::LibraryPackage(fs::path path, Connection::Mode mode)
    : path_(std::move(path)), db_(libraryDatabasePath(path_), mode) {}

void LibraryPackage::commitWithoutWaitingForTheDisk() {
    // In WAL mode a commit then writes the log without waiting for the disk; the log is synced
    // at each checkpoint. A crash of any process loses nothing committed.
    db_.exec("PRAGMA synchronous=NORMAL");
}

LibraryPackage::KeptStatement LibraryPackage::kept(std::string_view sql) {
    auto found = keptStatements_.find(sql);
    if (found == keptStatements_.end())
        found = keptStatements_.emplace(std::string(sql), db_.prepare(sql)).first;
    return KeptStatement(found->second);
}

LibraryPackage LibraryPackage::create(const fs::path& package) {
    const fs::path path = packageFolder(package);
    std::error_code error;
    if (fs::exists(path, error))
        fail("LibraryExists", path.string() + " already exists");
    if (!fs::create_directories(libraryDatabasePath(path).parent_path(), error) ||
        !fs::create_directories(path / kMastersFolder, error))
        fail("WriteFailed", "cannot make " + path.string() + ": " + error.message());
    try {
        LibraryPackage library(path, Connection::Mode::Create);
        // WAL lets readers go on while photolib or another thread writes.
        library.db_.exec("PRAGMA journal_mode=WAL");
        library.commitWithoutWaitingForTheDisk();
        Transaction transaction(library.db_);
        library.db_.exec(schema());
        library.db_.prepare("INSERT INTO RKProperty(key, value) VALUES('version', ?)")
            .bind(1, kApplicationVersion)
            .run();
        transaction.commit();
        writeFileAtomically(path / kMasterListFile, library.masterListXml());
        return library;
    } catch (...) {
        fs::remove_all(path, error);
        throw;
    }
}

LibraryPackage LibraryPackage::open(const fs::path& package, Access wanted) {
    const fs::path path = packageFolder(package);
    const fs::path database = libraryDatabasePath(path);
    std::error_code error;
    if (!fs::exists(path, error))
        fail("NoLibrary", "no library at " + path.string());
    if (!fs::is_directory(path, error) || !fs::is_regular_file(database, error))
        fail("NoLibrary", path.string() + " is not a library package");
    if (access(database.c_str(), R_OK) != 0)
        fail("NoLibrary", "cannot read " + database.string() + ": " + std::strerror(errno));
    // Imports write into the package folder, SQLite beside its database.
    const bool writable = access(database.c_str(), W_OK) == 0 &&
                          access(database.parent_path().c_str(), W_OK) == 0 &&
                          access(path.c_str(), W_OK) == 0;
    if (!writable && wanted == Access::ReadWrite)
        fail("NoLibrary", "the library " + path.string() + " is read-only: cannot write " +
                              (access(database.c_str(), W_OK) != 0 ? database : path).string());
    LibraryPackage library(path,
                           writable ? Connection::Mode::ReadWrite : Connection::Mode::ReadOnly);
    const auto damaged = [&](const std::string& why) {
        fail("LibraryDamaged", "damaged library " + path.string() + ": " + why);
    };
    std::optional<std::string_view> missing;
    std::string check;
    try {
        auto find =
            library.db_.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
        for (const std::string_view table : kTables) {
            const bool found = find.bind(1, table).step();
            find.reset();
            if (!found) {
                missing = table;
                break;
            }
        }
        // Every page, before anything is written: a write into a damaged file can only spread
        // the damage.
        auto quickCheck = library.db_.prepare("PRAGMA quick_check(1)");
        check = quickCheck.step() ? quickCheck.text(0) : std::string("no answer");
    } catch (const ScriptingError& e) {
        damaged(e.what());
    }
    if (missing)
        damaged("its database lacks the table " + std::string(*missing));
    if (check != "ok")
        damaged("its database fails the integrity check: " + check);
    library.commitWithoutWaitingForTheDisk();
    if (writable) {
        try {
            library.recoverInterruptedImports();
        } catch (const ScriptingError& e) {
            // Another process holds the library; a later command finishes the work.
            if (e.name() != "LibraryLocked")
                throw;
        }
    }
    return library;
}

void LibraryPackage::recoverInterruptedImports() {
    if (abandonedStagings(path_).empty())
        return;
    // Looked at again under the write lock, which an importer holds from making its staging
    // folder until its commit, so no live importer's folder is taken for a dead one's.
    Transaction transaction(db_);
    const auto abandoned = abandonedStagings(path_);
    if (abandoned.empty())
        return;
    std::set<std::string> committed;
    auto managed = db_.prepare(joined({"SELECT ", kImagePathColumn, " FROM ", kMasterTable,
                                       " WHERE ", kFileIsReferenceColumn, " = 0"}));
    while (managed.step())
        committed.emplace(managed.textView(0));
    for (const auto& staging : abandoned)
        settleStagedCopies(path_, staging, [&](const std::string& imagePath) {
            return committed.count(imagePath) > 0;
        });
    // The list is written through a staging folder, so that a recovery that dies here too
    // leaves a folder for the next one to find.
    writeFileAtomically(path_ / kMasterListFile, masterListXml(), abandoned.front().folder);
    for (const auto& staging : abandoned)
        removeStaging(staging);
    transaction.commit();
}

std::string LibraryPackage::masterListXml() {
    plist::Plist masters(plist_new_dict());
    for (const auto& v : versions()) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, kImagePathKey, plist_new_string(v.masterPath.c_str()));
        plist_dict_set_item(masters.get(), v.uuid.c_str(), entry); // takes ownership of entry
    }
    plist::Plist root(plist_new_dict());
    plist_dict_set_item(root.get(), "Application Version",
                        plist_new_string(std::string(kApplicationVersion).c_str()));
    plist_dict_set_item(root.get(), kMasterImageListKey, masters.release());
    return root.toXml();
}

} // namespace lumsift::photolib
