// The library package: its schema, the imports and selections of photolib, the reads and writes of
// the photo application's stand-in, and the master list in ApertureData.xml.
#include "photolib/LibraryPackage.h"

#include "photolib/ImageHeader.h"
#include "photolib/ImportStaging.h"
#include "photolib/Text.h"
#include "platform/fd/UniqueFd.h"
#include "platform/jpeg/JpegScans.h"
#include "platform/plist/Plist.h"
#include "platform/scripting/ApertureLibrary.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <system_error>

#include <sys/stat.h>
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

constexpr int64_t kProjectFolderType = 2;

// Columns of a version with its master, as versionFromRow() reads them.
constexpr std::string_view kVersionColumns =
    "SELECT v.uuid, v.name, v.projectUuid, v.masterUuid, m.fileName, m.imagePath, "
    "m.fileIsReference, m.width, m.height FROM RKVersion v LEFT JOIN RKMaster m "
    "ON m.uuid = v.masterUuid ";

[[noreturn]] void fail(std::string kind, const std::string& message) {
    throw ScriptingError(std::move(kind), message);
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

fs::path masterLocation(const fs::path& package, std::string_view imagePath, bool reference) {
    if (imagePath.empty())
        return {};
    if (reference)
        return fs::path("/") / fs::path(imagePath);
    return package / kMastersFolder / fs::path(imagePath);
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

// Writes `text` to a new file of a unique name (so writers never share one) in `folder`, which
// must lie on the file system of `file`, to be put in its place by replaceFile(), so readers see
// the old or the new file whole. Returns the temporary file; throws ScriptingError when it cannot
// be written.
fs::path writeTemporary(const fs::path& file, std::string_view text, const fs::path& folder) {
    std::string name = (folder / file.filename()).string() + ".tmp-XXXXXX";
    const UniqueFd out(mkstemp(name.data()));
    if (!out.valid())
        fail("WriteFailed", "cannot write beside " + file.string() + ": " + std::strerror(errno));
    const fs::path temporary = name;
    int error = fchmod(out.get(), 0644) == 0 ? 0 : errno;
    for (size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t n = write(out.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (error == 0 && fsync(out.get()) != 0)
        error = errno;
    if (error != 0) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        fail("WriteFailed", "cannot write " + temporary.string() + ": " + std::strerror(error));
    }
    return temporary;
}

void replaceFile(const fs::path& temporary, const fs::path& file) {
    std::error_code error;
    fs::rename(temporary, file, error);
    if (!error)
        return;
    fs::remove(temporary, error);
    fail("WriteFailed", "cannot write " + file.string() + ": " + error.message());
}

// Replaces `file` with `text` whole, through a temporary file in `temporaryFolder` (by default
// beside `file`).
void writeFileAtomically(const fs::path& file, std::string_view text,
                         const fs::path& temporaryFolder = {}) {
    replaceFile(
        writeTemporary(file, text, temporaryFolder.empty() ? file.parent_path() : temporaryFolder),
        file);
}

bool sameContents(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::file_size(a, error) != fs::file_size(b, error) || error)
        return false;
    std::ifstream ia(a, std::ios::binary);
    std::ifstream ib(b, std::ios::binary);
    std::array<char, 65536> bufferA{};
    std::array<char, 65536> bufferB{};
    while (ia && ib) {
        ia.read(bufferA.data(), bufferA.size());
        ib.read(bufferB.data(), bufferB.size());
        if (ia.gcount() != ib.gcount() ||
            !std::equal(bufferA.begin(), bufferA.begin() + ia.gcount(), bufferB.begin()))
            return false;
    }
    return !ia.bad() && !ib.bad();
}

// A file's identity on disk (device, inode); nullopt when it cannot be looked at.
using FileId = std::pair<dev_t, ino_t>;
std::optional<FileId> fileId(const fs::path& file) {
    struct stat status {};
    if (file.empty() || stat(file.c_str(), &status) != 0)
        return std::nullopt;
    return FileId{status.st_dev, status.st_ino};
}

// Copies `source` into `folder` as the first of "stem.ext", "stem (2).ext", ... for which
// `isFree` holds. The copy never overwrites: a name taken meanwhile by someone else makes it try
// the next. Returns the copy; throws ScriptingError of `failKind` when the copy fails.
fs::path copyUnderFreeName(const fs::path& source, const fs::path& folder, const std::string& stem,
                           const std::string& extension,
                           const std::function<bool(const fs::path&)>& isFree,
                           std::string failKind) {
    for (int n = 1;; ++n) {
        const std::string name = n == 1 ? stem : stem + " (" + std::to_string(n) + ")";
        const fs::path copy = folder / (name + extension);
        if (!isFree(copy))
            continue;
        std::error_code error;
        if (fs::copy_file(source, copy, fs::copy_options::none, error))
            return copy;
        if (error != std::errc::file_exists)
            fail(std::move(failKind), "cannot copy " + source.string() + " to " + copy.string() +
                                          ": " + error.message());
    }
}

std::string xmpSidecar(const VersionRecord& version, const std::vector<KeywordRecord>& keywords) {
    std::string xmp = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                      "  <rdf:Description rdf:about=\"\" "
                      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
                      "   <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">" +
                      markupText(version.name) + "</rdf:li></rdf:Alt></dc:title>\n";
    if (!keywords.empty()) {
        xmp += "   <dc:subject><rdf:Bag>\n";
        for (const auto& keyword : keywords)
            xmp += "    <rdf:li>" + markupText(keyword.name) + "</rdf:li>\n";
        xmp += "   </rdf:Bag></dc:subject>\n";
    }
    xmp += "  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>\n";
    return xmp;
}

// A file name made from a version name: no folder separators, never empty.
std::string fileStemFor(std::string name, const std::string& fallback) {
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.empty() || name == "." || name == "..")
        return fallback;
    return name;
}

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

// A file found by the folder walk or named, with what import needs of it.
struct ImportCandidate {
    fs::path source; // canonical
    ImageSize size;
};

// The package folder as we keep it: absolute, normal, no trailing separator ("L.aplibrary/").
fs::path packageFolder(const fs::path& package) {
    fs::path path = fs::absolute(package).lexically_normal();
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

} // namespace

bool VersionRecord::online() const {
    std::error_code error;
    return fs::is_regular_file(masterPath, error);
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
    auto managed = db_.prepare("SELECT imagePath FROM RKMaster WHERE fileIsReference = 0");
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

// ---------------------------------------------------------------------------------------------
// photolib's commands

ImportReport LibraryPackage::importFiles(std::span<const fs::path> inputs,
                                         const ImportOptions& options) {
    if (options.project.empty() || options.project.find('/') != std::string::npos ||
        options.project == "." || options.project == "..")
        fail("BadProject", "a project name must not be empty, \".\", \"..\" or hold \"/\": \"" +
                               options.project + "\"");
    if (inputs.empty())
        fail("NothingToImport", "no file or folder to import");
    const auto isImageFile = [&](const fs::path& file) {
        return options.isImageFile ? options.isImageFile(file) : readsImage(file);
    };
    const auto tell = [&](ImportPhase phase, size_t done, size_t total, const fs::path& file) {
        if (options.progress)
            options.progress(phase, done, total, file);
    };

    // 1. The files named and those found in the folders named, in a stable order.
    struct Found {
        fs::path file;
        bool walked;
    };
    std::vector<Found> found;
    for (const auto& input : inputs) {
        std::error_code error;
        const auto status = fs::status(input, error);
        if (!fs::exists(status))
            fail("MissingFile", "no such file or folder: " + input.string());
        if (!fs::is_directory(status)) {
            if (!isImageFile(input))
                fail("NotAnImage", input.string() + " is not an image that can be read");
            found.push_back({input, false});
            continue;
        }
        if (access(input.c_str(), R_OK | X_OK) != 0)
            fail("UnreadableFile", "cannot read the folder " + input.string());
        std::vector<fs::path> files;
        fs::recursive_directory_iterator walk(input, error), end;
        for (; !error && walk != end; walk.increment(error)) {
            const std::string name = walk->path().filename().string();
            if (!name.empty() && name[0] == '.') {
                if (walk->is_directory(error))
                    walk.disable_recursion_pending();
                continue;
            }
            if (walk->is_regular_file(error) && isImageFile(walk->path()))
                files.push_back(walk->path());
        }
        if (error)
            fail("UnreadableFile", "cannot walk " + input.string() + ": " + error.message());
        std::sort(files.begin(), files.end());
        for (auto& file : files)
            found.push_back({std::move(file), true});
    }

    // 2. Each read for its size. A file named that cannot be read fails the whole import, before
    // anything is written; one found in a folder is refused and the others go on.
    ImportReport report;
    std::vector<ImportCandidate> candidates;
    std::set<fs::path> met;
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [file, walked] = found[i];
        tell(ImportPhase::Examining, i + 1, found.size(), file);
        std::error_code error;
        const fs::path source = fs::canonical(file, error);
        if (!error && !met.insert(source).second) {
            report.skipped.push_back(file); // named twice, or met again through a link
            continue;
        }
        std::string problem;
        std::optional<ImageSize> size;
        if (error)
            problem = "cannot be read: " + error.message();
        else if (access(source.c_str(), R_OK) != 0)
            problem = "cannot be read: " + std::generic_category().message(errno);
        else if (!(size = readImageSize(source)))
            problem = "is not an image that can be read";
        else if (std::string refusal = sizeRefusal(*size); !refusal.empty())
            problem = std::move(refusal);
        else if (jpeg::hasTooManyScans(source))
            problem = "is " + jpeg::tooManyScans();
        if (!problem.empty() && !walked)
            fail(problem.starts_with("cannot") ? "UnreadableFile" : "NotAnImage",
                 file.string() + " " + problem);
        if (!problem.empty()) {
            report.refused.push_back({file, problem});
            continue;
        }
        candidates.push_back({source, *size});
    }

    Transaction transaction(db_);

    // 3. The project, made when missing.
    std::string projectUuid;
    {
        auto find = db_.prepare("SELECT uuid FROM RKFolder WHERE folderType = ? AND name = ? "
                                "ORDER BY sortIndex, rowid LIMIT 1");
        find.bind(1, kProjectFolderType).bind(2, options.project);
        if (find.step()) {
            projectUuid = find.text(0);
        } else {
            projectUuid = newUuid();
            db_.prepare("INSERT INTO RKFolder(uuid, name, folderType, sortIndex) VALUES(?, ?, ?, "
                        "(SELECT coalesce(max(sortIndex), -1) + 1 FROM RKFolder))")
                .bind(1, projectUuid)
                .bind(2, options.project)
                .bind(3, kProjectFolderType)
                .run();
        }
    }

    // 4. Never the same file twice into one project: not a master's own file, and not a file of
    // the same name and contents as a master copied in before. Those are skipped.
    std::set<FileId> masterFiles;
    std::multimap<std::string, fs::path> copiedByName;
    // The names below Masters/<project>/ that rows hold, also those of masters that another
    // import has committed but not yet moved into place.
    std::set<std::string> takenNames;
    for (const auto& existing : versions(projectUuid)) {
        if (const auto id = fileId(existing.masterPath))
            masterFiles.insert(*id);
        if (!existing.fileIsReference) {
            copiedByName.emplace(existing.fileName, existing.masterPath);
            takenNames.insert(existing.masterPath.filename().string());
        }
    }
    std::erase_if(candidates, [&](const ImportCandidate& candidate) {
        const auto id = fileId(candidate.source);
        bool same = id && masterFiles.count(*id) > 0;
        const auto [first, last] = copiedByName.equal_range(candidate.source.filename().string());
        for (auto it = first; !same && it != last; ++it)
            same = sameContents(it->second, candidate.source);
        if (same)
            report.skipped.push_back(candidate.source);
        return same;
    });
    // Nothing new: the library stays as it was, without an empty project.
    if (candidates.empty())
        return report;

    // 5. Masters and versions. Managed masters are copied into a staging folder and moved into
    // Masters/<project>/ after the commit, so that an import that dies leaves no file without a
    // row: what it left (the master list's temporary file too), the next command finishes or
    // removes.
    ImportStaging staging = ImportStaging::make(path_);
    const fs::path projectFolder = path_ / kMastersFolder / options.project;
    // The first of "stem.ext", "stem (2).ext", ... that neither a row nor a file holds.
    const auto freeName = [&](const fs::path& source) {
        for (int n = 1;; ++n) {
            const std::string stem = source.stem().string();
            const std::string name = (n == 1 ? stem : stem + " (" + std::to_string(n) + ")") +
                                     source.extension().string();
            std::error_code error;
            if (takenNames.count(name) == 0 && !fs::exists(projectFolder / name, error)) {
                takenNames.insert(name);
                return name;
            }
        }
    };
    auto insertMaster = db_.prepare("INSERT INTO RKMaster(uuid, imagePath, fileIsReference, "
                                    "fileName, width, height) VALUES(?, ?, ?, ?, ?, ?)");
    auto insertVersion = db_.prepare(
        "INSERT INTO RKVersion(uuid, name, masterUuid, projectUuid, sortIndex) VALUES(?, ?, ?, "
        "?, (SELECT coalesce(max(sortIndex), -1) + 1 FROM RKVersion WHERE projectUuid = ?4))");
    std::vector<VersionRecord>& imported = report.imported;
    for (const auto& candidate : candidates) {
        tell(ImportPhase::Adding, imported.size() + 1, candidates.size(), candidate.source);
        VersionRecord v;
        v.uuid = newUuid();
        v.masterUuid = newUuid();
        v.projectUuid = projectUuid;
        v.name = candidate.source.stem().string();
        v.fileName = candidate.source.filename().string();
        v.fileIsReference = options.reference;
        v.width = candidate.size.width;
        v.height = candidate.size.height;
        std::string imagePath;
        if (options.reference) {
            v.masterPath = candidate.source;
            imagePath = candidate.source.string().substr(1);
        } else {
            const std::string name = freeName(candidate.source);
            v.masterPath = projectFolder / name;
            imagePath = (fs::path(options.project) / name).string();
            const fs::path staged = staging.stagedPath(imagePath);
            std::error_code error;
            fs::create_directories(staged.parent_path(), error);
            if (!error)
                fs::copy_file(candidate.source, staged, error);
            if (error)
                fail("WriteFailed", "cannot copy " + candidate.source.string() + " into " +
                                        path_.string() + ": " + error.message());
        }
        insertMaster.bind(1, v.masterUuid)
            .bind(2, imagePath)
            .bind(3, int64_t{options.reference ? 1 : 0})
            .bind(4, v.fileName)
            .bind(5, v.width)
            .bind(6, v.height)
            .run();
        insertMaster.reset();
        insertVersion.bind(1, v.uuid)
            .bind(2, v.name)
            .bind(3, v.masterUuid)
            .bind(4, projectUuid)
            .run();
        insertVersion.reset();
        imported.push_back(std::move(v));
    }

    // The master list is put in its place while the write lock is held, so that concurrent
    // imports replace it in the order of their commits. Should the commit fail after this, it
    // lists versions that are not there, which no reader looks up; the next import writes it
    // again.
    writeFileAtomically(path_ / kMasterListFile, masterListXml(), staging.folder());
    transaction.commit();
    staging.moveIntoPlace();
    return report;
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

void LibraryPackage::select(std::span<const std::string> keys) {
    Transaction transaction(db_);
    std::vector<std::string> chosen;
    const std::string inLibraryOrder = " ORDER BY f.sortIndex, f.rowid, v.sortIndex, v.rowid";
    auto byUuid = db_.prepare("SELECT uuid FROM RKVersion WHERE uuid = ?");
    auto byName = db_.prepare("SELECT v.uuid FROM RKVersion v LEFT JOIN RKFolder f ON f.uuid = "
                              "v.projectUuid WHERE v.name = ?" +
                              inLibraryOrder);
    auto byPath = db_.prepare(
        "SELECT v.uuid FROM RKVersion v JOIN RKMaster m ON m.uuid = v.masterUuid LEFT JOIN "
        "RKFolder f ON f.uuid = v.projectUuid WHERE (m.fileIsReference != 0 AND m.imagePath = "
        "?1) OR (m.fileIsReference = 0 AND m.imagePath = ?2)" +
        inLibraryOrder);
    const fs::path masters = path_ / kMastersFolder;
    // The versions whose master lies at `file`, absolute and normal.
    const auto atPath = [&](const fs::path& file, std::vector<std::string>& found) {
        byPath.bind(1, file.string().substr(1));
        const fs::path below = file.lexically_relative(masters);
        if (!below.empty() && *below.begin() != "..")
            byPath.bind(2, below.string());
        else
            byPath.bindNull(2);
        while (byPath.step())
            found.push_back(byPath.text(0));
        byPath.reset();
    };
    const auto collect = [](Statement& query, std::vector<std::string>& found) {
        while (query.step())
            found.push_back(query.text(0));
        query.reset();
    };
    for (const auto& key : keys) {
        std::vector<std::string> found;
        collect(byUuid.bind(1, key), found);
        if (found.empty())
            collect(byName.bind(1, key), found);
        if (found.empty() && !key.empty()) {
            // As given (a link to a master names it), and with links resolved.
            const fs::path file = fs::absolute(key).lexically_normal();
            atPath(file, found);
            std::error_code error;
            const fs::path resolved = fs::weakly_canonical(file, error);
            if (found.empty() && !error && resolved != file)
                atPath(resolved, found);
        }
        if (found.empty())
            fail("NoSuchVersion", "no version has the name, uuid or master file \"" + key + "\"");
        for (auto& uuid : found)
            if (std::find(chosen.begin(), chosen.end(), uuid) == chosen.end())
                chosen.push_back(std::move(uuid));
    }
    db_.exec("DELETE FROM RKSelection");
    auto insert = db_.prepare("INSERT INTO RKSelection(versionUuid, sortIndex) VALUES(?, ?)");
    for (size_t i = 0; i < chosen.size(); ++i) {
        insert.bind(1, chosen[i]).bind(2, static_cast<int64_t>(i)).run();
        insert.reset();
    }
    transaction.commit();
}

// ---------------------------------------------------------------------------------------------
// Reading

std::string LibraryPackage::version() {
    auto query = db_.prepare("SELECT value FROM RKProperty WHERE key = 'version'");
    return query.step() ? query.text(0) : std::string();
}

int64_t LibraryPackage::dataVersion() {
    auto query = db_.prepare("PRAGMA data_version");
    query.step();
    return query.integer(0);
}

std::vector<ProjectRecord> LibraryPackage::projects() {
    auto query = db_.prepare(
        "SELECT uuid, name FROM RKFolder WHERE folderType = ? ORDER BY sortIndex, rowid");
    query.bind(1, kProjectFolderType);
    std::vector<ProjectRecord> projects;
    while (query.step())
        projects.push_back({query.text(0), query.text(1)});
    return projects;
}

std::optional<std::string> LibraryPackage::projectName(const std::string& projectUuid) {
    auto query = db_.prepare("SELECT name FROM RKFolder WHERE uuid = ? AND folderType = ?");
    query.bind(1, projectUuid).bind(2, kProjectFolderType);
    if (!query.step())
        return std::nullopt;
    return query.text(0);
}

std::vector<VersionRecord> LibraryPackage::versions(const std::optional<std::string>& projectUuid) {
    std::vector<VersionRecord> result;
    if (projectUuid) {
        auto query = db_.prepare(std::string(kVersionColumns) +
                                 "WHERE v.projectUuid = ? ORDER BY v.sortIndex, v.rowid");
        query.bind(1, *projectUuid);
        while (query.step())
            result.push_back(versionFromRow(path_, query));
        return result;
    }
    for (const auto& project : projects()) {
        auto some = versions(project.uuid);
        std::move(some.begin(), some.end(), std::back_inserter(result));
    }
    return result;
}

std::optional<VersionRecord> LibraryPackage::versionRecord(const std::string& uuid) {
    static const std::string sql = std::string(kVersionColumns) + "WHERE v.uuid = ?";
    const KeptStatement query = kept(sql);
    query->bind(1, uuid);
    if (!query->step())
        return std::nullopt;
    return versionFromRow(path_, *query);
}

ProjectTags LibraryPackage::projectTags(const std::string& projectUuid) {
    // One pass over the project's versions joined with their tags, in the project's order and
    // each version's tags in the order they were first added.
    auto query = db_.prepare(
        "SELECT v.uuid, t.value, t.name FROM RKVersion v "
        "LEFT JOIN RKCustomTag t INDEXED BY RKCustomTag_version ON t.versionUuid = v.uuid "
        "WHERE v.projectUuid = ? ORDER BY v.sortIndex, v.rowid, t.rowid");
    query.bind(1, projectUuid);
    ProjectTags tags;
    while (query.step()) {
        const std::string_view id = query.textView(0);
        if (tags.versionIds.empty() || tags.versionIds.back() != id) {
            tags.versionIds.emplace_back(id);
            tags.values.emplace_back();
            tags.names.emplace_back();
        }
        if (query.isNull(2))
            continue;
        tags.values.back().emplace_back(query.textView(1));
        tags.names.back().emplace_back(query.textView(2));
    }
    return tags;
}

std::vector<std::string> LibraryPackage::selection() {
    auto query = db_.prepare("SELECT s.versionUuid FROM RKSelection s JOIN RKVersion v ON v.uuid = "
                             "s.versionUuid ORDER BY s.sortIndex, s.rowid");
    std::vector<std::string> ids;
    while (query.step())
        ids.push_back(query.text(0));
    return ids;
}

std::vector<CustomTag> LibraryPackage::customTags(const std::string& versionUuid) {
    auto query =
        db_.prepare("SELECT name, value FROM RKCustomTag WHERE versionUuid = ? ORDER BY rowid");
    query.bind(1, versionUuid);
    std::vector<CustomTag> tags;
    while (query.step())
        tags.push_back({query.text(0), query.text(1)});
    return tags;
}

std::vector<KeywordRecord> LibraryPackage::keywords(const std::string& versionUuid) {
    auto query =
        db_.prepare("SELECT k.uuid, k.name, coalesce(p.name, '') FROM RKKeywordForVersion a "
                    "JOIN RKKeyword k ON k.uuid = a.keywordUuid LEFT JOIN RKKeyword p ON p.uuid = "
                    "k.parentUuid WHERE a.versionUuid = ? ORDER BY a.sortIndex, a.rowid");
    query.bind(1, versionUuid);
    std::vector<KeywordRecord> keywords;
    while (query.step())
        keywords.push_back({query.text(0), query.text(1), query.text(2)});
    return keywords;
}

std::vector<std::string> LibraryPackage::keywordNames(std::string_view parent) {
    auto query = db_.prepare("SELECT k.name FROM RKKeyword k JOIN RKKeyword p ON p.uuid = "
                             "k.parentUuid WHERE p.name = ? AND p.parentUuid IS NULL "
                             "ORDER BY k.rowid");
    query.bind(1, parent);
    std::vector<std::string> names;
    while (query.step())
        if (std::find(names.begin(), names.end(), query.textView(0)) == names.end())
            names.emplace_back(query.textView(0));
    return names;
}

std::vector<VersionRecord> LibraryPackage::versionsWithKeyword(std::string_view name,
                                                               std::string_view parent) {
    auto query = db_.prepare(
        std::string(kVersionColumns) +
        "LEFT JOIN RKFolder f ON f.uuid = v.projectUuid WHERE v.uuid IN (SELECT a.versionUuid "
        "FROM RKKeywordForVersion a JOIN RKKeyword k ON k.uuid = a.keywordUuid LEFT JOIN "
        "RKKeyword p ON p.uuid = k.parentUuid WHERE k.name = ?1 AND (?2 = '' OR p.name = ?2)) "
        "ORDER BY f.sortIndex, f.rowid, v.sortIndex, v.rowid");
    query.bind(1, name).bind(2, parent);
    std::vector<VersionRecord> found;
    while (query.step())
        found.push_back(versionFromRow(path_, query));
    return found;
}

// ---------------------------------------------------------------------------------------------
// The application's writes

void LibraryPackage::setCustomTag(const std::string& versionUuid, std::string_view name,
                                  std::string_view value) {
    // One statement, so one commit; an upsert keeps the row (and so the tag's place).
    kept("INSERT INTO RKCustomTag(versionUuid, name, value) SELECT ?1, ?2, ?3 "
         "WHERE EXISTS (SELECT 1 FROM RKVersion WHERE uuid = ?1) "
         "ON CONFLICT(versionUuid, name) DO UPDATE SET value = excluded.value")
        ->bind(1, versionUuid)
        .bind(2, name)
        .bind(3, value)
        .run();
    if (db_.changes() == 0)
        fail("NoSuchVersion", "no version has the uuid " + versionUuid);
}

void LibraryPackage::addKeyword(const std::string& versionUuid, std::string_view name,
                                std::string_view parent) {
    Transaction transaction(db_);
    auto exists = db_.prepare("SELECT 1 FROM RKVersion WHERE uuid = ?");
    if (!exists.bind(1, versionUuid).step())
        fail("NoSuchVersion", "no version has the uuid " + versionUuid);

    // The keyword `keywordName` under `parentUuid` (top level when null), made when missing.
    const auto keywordUuid = [&](std::string_view keywordName,
                                 const std::optional<std::string>& parentUuid) {
        auto find = db_.prepare("SELECT uuid FROM RKKeyword WHERE name = ? AND parentUuid IS ? "
                                "ORDER BY rowid LIMIT 1");
        find.bind(1, keywordName);
        if (parentUuid)
            find.bind(2, *parentUuid);
        else
            find.bindNull(2);
        if (find.step())
            return find.text(0);
        std::string uuid = newUuid();
        auto insert = db_.prepare("INSERT INTO RKKeyword(uuid, name, parentUuid) VALUES(?, ?, ?)");
        insert.bind(1, uuid).bind(2, keywordName);
        if (parentUuid)
            insert.bind(3, *parentUuid);
        else
            insert.bindNull(3);
        insert.run();
        return uuid;
    };
    std::optional<std::string> parentUuid;
    if (!parent.empty())
        parentUuid = keywordUuid(parent, std::nullopt);
    const std::string uuid = keywordUuid(name, parentUuid);
    db_.prepare("INSERT INTO RKKeywordForVersion(versionUuid, keywordUuid, sortIndex) VALUES(?1, "
                "?2, (SELECT coalesce(max(sortIndex), -1) + 1 FROM RKKeywordForVersion WHERE "
                "versionUuid = ?1))")
        .bind(1, versionUuid)
        .bind(2, uuid)
        .run();
    transaction.commit();
}

bool LibraryPackage::deleteKeyword(const std::string& versionUuid, const std::string& keywordUuid) {
    db_.prepare("DELETE FROM RKKeywordForVersion WHERE rowid = (SELECT rowid FROM "
                "RKKeywordForVersion WHERE versionUuid = ? AND keywordUuid = ? "
                "ORDER BY sortIndex, rowid LIMIT 1)")
        .bind(1, versionUuid)
        .bind(2, keywordUuid)
        .run();
    return db_.changes() > 0;
}

std::optional<fs::path> LibraryPackage::exportVersion(const std::string& versionUuid,
                                                      const fs::path& folder, bool sidecar) {
    const auto version = versionRecord(versionUuid);
    if (!version || !version->online())
        return std::nullopt;
    const auto sidecarOf = [](const fs::path& copy) {
        return copy.parent_path() / (copy.stem().string() + ".XMP");
    };
    // Free means: neither the copy nor its sidecar is there.
    const fs::path copy = copyUnderFreeName(
        version->masterPath, folder,
        fileStemFor(version->name, version->masterPath.stem().string()),
        version->masterPath.extension().string(),
        [&](const fs::path& p) { return !fs::exists(p) && !fs::exists(sidecarOf(p)); },
        "ExportFailed");
    if (!sidecar)
        return copy;
    try {
        writeFileAtomically(sidecarOf(copy), xmpSidecar(*version, keywords(versionUuid)));
    } catch (...) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw;
    }
    return copy;
}

// ---------------------------------------------------------------------------------------------
// The setting: which library is open

fs::path openLibrarySettingFile() {
    return fs::path(configHome()) / "photolib" / "open-library";
}

std::optional<fs::path> openLibraryPath() {
    std::ifstream in(openLibrarySettingFile());
    std::string line;
    if (!in || !std::getline(in, line) || line.empty())
        return std::nullopt;
    return packageFolder(line);
}

void openLibrary(const fs::path& package) {
    const LibraryPackage library = LibraryPackage::open(package);
    const fs::path setting = openLibrarySettingFile();
    std::error_code error;
    fs::create_directories(setting.parent_path(), error);
    if (error)
        fail("WriteFailed",
             "cannot make " + setting.parent_path().string() + ": " + error.message());
    writeFileAtomically(setting, library.path().string() + "\n");
}

void closeLibrary() {
    std::error_code error;
    fs::remove(openLibrarySettingFile(), error);
    if (error)
        fail("WriteFailed",
             "cannot remove " + openLibrarySettingFile().string() + ": " + error.message());
}

} // namespace lumsift::photolib
