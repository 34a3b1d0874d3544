// The photo library package that the photo application's stand-in keeps on disk: a folder
// "NAME.aplibrary" holding Database/Library.apdb (SQLite, WAL mode), Masters/ (the managed master
// files, a folder per project) and ApertureData.xml (the master list as a property list).
//
// One LibraryPackage object owns one database connection and is used by one thread at a time;
// any number of objects, in any number of threads and processes, may use one package at once.
// Every write is one transaction, committed before the call returns; a call that fails changes
// nothing. The database is in WAL mode with synchronous=NORMAL: a crash of any process loses no
// committed write, and a power cut can lose only the last commits, never the file. Failures throw
// ScriptingError whose message says what went wrong (SQLite's message included where SQLite
// failed).
#pragma once

#include "photolib/Database.h"
#include "platform/scripting/Aperture.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::photolib {

enum class ImportPhase {
    Examining, // each file's header is read
    Adding,    // each new file is copied (unless referenced) and recorded
};

// How files are imported.
struct ImportOptions {
    // The project that receives the versions; made when no project has that name. Must not be
    // empty and must not hold "/".
    std::string project;
    // Reference the files where they lie instead of copying them into Masters/<project>/.
    bool reference = false;
    // Which files a folder walk takes, by path. Null: every file that libvips or LibRaw can read.
    std::function<bool(const std::filesystem::path&)> isImageFile;
    // Told of each file as it is examined and again as it is added (the phase, the 1-based count,
    // the number of files of the phase, the file); may be null. Called on the importing thread,
    // before the import is committed.
    std::function<void(ImportPhase, size_t, size_t, const std::filesystem::path&)> progress;
};

// One version as stored, with its master.
struct VersionRecord {
    std::string uuid;
    std::string name;
    std::string projectUuid;
    std::string masterUuid;
    std::string fileName;             // the master's file name
    std::filesystem::path masterPath; // absolute
    bool fileIsReference = false;
    int64_t width = 0;  // 0 when unknown
    int64_t height = 0; // 0 when unknown

    // The master file is there. Asks the file system each call; never throws.
    bool online() const;
};

// What an import did.
struct ImportReport {
    struct Refusal {
        std::filesystem::path file;
        std::string reason; // follows the file's path: "is not an image that can be read"
    };
    // The new versions, in import order.
    std::vector<VersionRecord> imported;
    // Files already in the project, or named (or met through links) more than once.
    std::vector<std::filesystem::path> skipped;
    // Files found in a folder that could not be imported, with the reason.
    std::vector<Refusal> refused;
};

struct ProjectRecord {
    std::string uuid;
    std::string name;
};

struct CustomTag {
    std::string name;
    std::string value;
};

struct KeywordRecord {
    std::string uuid;
    std::string name;
    std::string parentName; // empty for a top-level keyword
};

// The custom tags of every version of a project, in the project's order: what the library load
// asks for, read in one query.
struct ProjectTags {
    std::vector<std::string> versionIds;
    std::vector<std::vector<std::string>> values;
    std::vector<std::vector<std::string>> names;
};

class LibraryPackage {
public:
    // Makes a new, empty package at `package` (its folder must not exist yet). Throws when it
    // exists or cannot be made; nothing is left behind then.
    static LibraryPackage create(const std::filesystem::path& package);
    enum class Access {
        ReadWrite,
        // Reading and writing where the package can be written, else reading only.
        ReadWhereNotWritable,
    };
    // Opens an existing package, first finishing or undoing what an import that died left behind
    // (when the package can be written). Throws when `package` is missing, is not a library
    // package, its database is damaged (it fails SQLite's quick check), or, for
    // Access::ReadWrite, the package cannot be written.
    static LibraryPackage open(const std::filesystem::path& package,
                               Access access = Access::ReadWrite);

    // The package folder, absolute.
    const std::filesystem::path& path() const { return path_; }
    // The connection, for readers that want plain SQL (benchmarks, tests). Borrowed.
    Connection& connection() { return db_; }

    // --- photolib's commands (import: LibraryImport.cpp; select: LibraryWrites.cpp) ---

    // Imports the files named in `inputs`, walking folders (files whose type is not taken are
    // passed over there). Adds one master and one version per file, reads width and height from
    // the file's header, copies the file into Masters/<project>/ unless referenced, and writes
    // ApertureData.xml again. A file already in the project, or met twice, is skipped; a file
    // found in a folder that cannot be read as an image (or that declares no pixel or too many,
    // or is a JPEG of more scans than a decoder takes) is refused and the others go on. Throws,
    // having changed nothing, when an input is missing, or a file named (not found in a folder)
    // is unreadable or not such an image. An import with nothing new changes nothing.
    ImportReport importFiles(std::span<const std::filesystem::path> inputs,
                             const ImportOptions& options);
    // Makes the versions named the selection, in the order given; an empty list clears it. Each
    // key is a version's uuid, else a name (every version of that name), else the path of a
    // master file (relative to the working folder; every version of that master). Throws,
    // changing nothing, on a key that names no version.
    void select(std::span<const std::string> keys);

    // --- reading (LibraryReads.cpp) ---

    std::string version();
    // Changes whenever another connection (of any thread or process) commits a change; this
    // connection's own writes leave it as it is.
    int64_t dataVersion();
    // Projects in their stable order.
    std::vector<ProjectRecord> projects();
    std::optional<std::string> projectName(const std::string& projectUuid);
    // Every version of every project, project by project, each project's in its order; or only
    // those of `projectUuid` when given.
    std::vector<VersionRecord> versions(const std::optional<std::string>& projectUuid = {});
    // The version of `uuid`; nullopt when there is none.
    std::optional<VersionRecord> versionRecord(const std::string& uuid);
    // Empty lists for a project that does not exist.
    ProjectTags projectTags(const std::string& projectUuid);
    // The selection, in the order it was made.
    std::vector<std::string> selection();
    // The version's custom tags in the order they were first added.
    std::vector<CustomTag> customTags(const std::string& versionUuid);
    // The version's keyword assignments in the order they were made.
    std::vector<KeywordRecord> keywords(const std::string& versionUuid);

    // The names of the keywords under the top-level keyword `parent`, in the order they were
    // made.
    std::vector<std::string> keywordNames(std::string_view parent);
    // The versions that carry the keyword `name` made under the top-level keyword `parent` (any
    // parent, or none, when `parent` is empty), in the library's order.
    std::vector<VersionRecord> versionsWithKeyword(std::string_view name, std::string_view parent);

    // --- the application's writes (LibraryWrites.cpp) ---

    // Sets the custom tag `name` of the version to `value` (made when missing, keeping its place
    // when replaced). Throws when the version does not exist.
    void setCustomTag(const std::string& versionUuid, std::string_view name,
                      std::string_view value);
    // Assigns the keyword `name` under the top-level keyword `parent` (none when empty) to the
    // version, making either keyword when missing. Throws when the version does not exist.
    void addKeyword(const std::string& versionUuid, std::string_view name, std::string_view parent);
    // Removes the first assignment of the keyword `keywordUuid` to the version; false when the
    // version has none.
    bool deleteKeyword(const std::string& versionUuid, const std::string& keywordUuid);

    // Copies the version's master into `folder` as the version's name with the master's
    // extension (a free name when that is taken) and, with `sidecar`, writes an XMP file beside
    // it named as the copy less its extension followed by ".XMP". Returns the copy's path, or
    // nullopt when the version or its master file is missing. Throws when the copy fails.
    std::optional<std::filesystem::path> exportVersion(const std::string& versionUuid,
                                                       const std::filesystem::path& folder,
                                                       bool sidecar);

private:
    LibraryPackage(std::filesystem::path path, Connection::Mode mode);
    // Sets synchronous=NORMAL on the connection, once it is known to be a library's.
    void commitWithoutWaitingForTheDisk();
    // ApertureData.xml for the versions as this connection sees them.
    std::string masterListXml();
    // Finishes the imports whose importer died: their committed copies move into Masters/,
    // the others are removed, and ApertureData.xml is written again. Throws ScriptingError.
    void recoverInterruptedImports();

    // A statement kept for the connection's life, in use until this ends; then reset, so that
    // it holds no read open.
    class KeptStatement {
    public:
        explicit KeptStatement(Statement& statement) : statement_(statement) {}
        ~KeptStatement() { statement_.reset(); }
        KeptStatement(const KeptStatement&) = delete;
        KeptStatement& operator=(const KeptStatement&) = delete;
        Statement* operator->() const { return &statement_; }
        Statement& operator*() const { return statement_; }

    private:
        Statement& statement_;
    };
    // The statement of `sql`, prepared on its first use (throws when it cannot be) and kept:
    // for the requests the photo application answers for every image.
    KeptStatement kept(std::string_view sql);

    std::filesystem::path path_;
    Connection db_;
    // Declared after db_: finalised before the connection closes.
    std::map<std::string, Statement, std::less<>> keptStatements_;
};

// Where a package keeps its database, below the package folder.
std::filesystem::path libraryDatabasePath(const std::filesystem::path& package);
// `package` as the stand-in keeps a package's path: absolute, normal, without a trailing
// separator ("L.aplibrary/" becomes "L.aplibrary"). Cannot fail.
std::filesystem::path packageFolder(const std::filesystem::path& package);

// --- The stand-in's setting: which library is open (OpenLibrarySetting.cpp) ---

// ${XDG_CONFIG_HOME:-$HOME/.config}/photolib/open-library
std::filesystem::path openLibrarySettingFile();
// The package that the setting names (absolute); nullopt when none is open.
std::optional<std::filesystem::path> openLibraryPath();
// Opens `package` (checking that it opens) and names it in the setting. Throws when it does not
// open or the setting cannot be written.
void openLibrary(const std::filesystem::path& package);
// Removes the setting; nothing is open afterwards. Throws when it cannot be removed.
void closeLibrary();

} // namespace lumsift::photolib
