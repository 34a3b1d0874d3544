// photolib import: gathers the files named and those found in the folders named, examines each,
// finds or makes the project, skips what the project already holds, stages the copies of the
// managed masters, inserts a master and a version per file and commits, and reports what it did.
#include "photolib/LibraryPackage.h"

#include "photolib/AtomicFile.h"
#include "photolib/Failure.h"
#include "photolib/ImageHeader.h"
#include "photolib/ImportStaging.h"
#include "photolib/PackageRows.h"
#include "platform/jpeg/JpegScans.h"
#include "platform/scripting/ApertureLibrary.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace lumsift::photolib {
namespace fs = std::filesystem;
using namespace scripting::package;

namespace {

// A project's name is the name of its folder below Masters/.
void checkProjectName(const std::string& project) {
    if (project.empty() || project.find('/') != std::string::npos || project == "." ||
        project == "..")
        fail("BadProject",
             "a project name must not be empty, \".\", \"..\" or hold \"/\": \"" + project + "\"");
}

void tell(const ImportOptions& options, ImportPhase phase, size_t done, size_t total,
          const fs::path& file) {
    if (options.progress)
        options.progress(phase, done, total, file);
}

// Whether a folder walk takes `file`: as the options say, else when libvips or LibRaw reads it.
bool takenByTheWalk(const ImportOptions& options, const fs::path& file) {
    return options.isImageFile ? options.isImageFile(file) : readsImage(file);
}

// A file named, or found by a folder walk.
struct FoundFile {
    fs::path file;
    bool walked;
};

// A file that passed its examination, with what the import needs of it.
struct ImportCandidate {
    fs::path source; // canonical
    ImageSize size;
};

// The files below `folder` that the walk takes, in path order; what is hidden (a name beginning
// with ".") is passed over, a hidden folder with all it holds. Throws when the folder cannot be
// read or walked.
std::vector<fs::path> walkFolder(const fs::path& folder, const ImportOptions& options) {
    if (access(folder.c_str(), R_OK | X_OK) != 0)
        fail("UnreadableFile", "cannot read the folder " + folder.string());
    std::vector<fs::path> files;
    std::error_code error;
    fs::recursive_directory_iterator walk(folder, error), end;
    for (; !error && walk != end; walk.increment(error)) {
        const std::string name = walk->path().filename().string();
        if (!name.empty() && name[0] == '.') {
            if (walk->is_directory(error))
                walk.disable_recursion_pending();
            continue;
        }
        if (walk->is_regular_file(error) && takenByTheWalk(options, walk->path()))
            files.push_back(walk->path());
    }
    if (error)
        fail("UnreadableFile", "cannot walk " + folder.string() + ": " + error.message());
    std::sort(files.begin(), files.end());
    return files;
}

// The files named and those found in the folders named, in a stable order. Throws when an input
// is missing, a file named is not an image that can be read, or a folder cannot be walked.
std::vector<FoundFile> gatherFiles(std::span<const fs::path> inputs, const ImportOptions& options) {
    std::vector<FoundFile> found;
    for (const auto& input : inputs) {
        std::error_code error;
        const auto status = fs::status(input, error);
        if (!fs::exists(status))
            fail("MissingFile", "no such file or folder: " + input.string());
        if (!fs::is_directory(status)) {
            if (!takenByTheWalk(options, input))
                fail("NotAnImage", input.string() + " is not an image that can be read");
            found.push_back({input, false});
            continue;
        }
        for (fs::path& file : walkFolder(input, options))
            found.push_back({std::move(file), true});
    }
    return found;
}

// What examining one file found.
struct Examination {
    std::optional<ImageSize> size;
    // Why the file is not imported, following its path ("is not an image that can be read");
    // empty when it is.
    std::string problem;
};

// Reads the file at `source` (canonical) for its size: it is not imported when it cannot be read,
// is no image, declares no pixel or too many, or is a JPEG of more scans than a decoder takes.
Examination examine(const fs::path& source) {
    if (access(source.c_str(), R_OK) != 0)
        return {std::nullopt, "cannot be read: " + std::generic_category().message(errno)};
    const std::optional<ImageSize> size = readImageSize(source);
    if (!size)
        return {std::nullopt, "is not an image that can be read"};
    if (std::string refusal = sizeRefusal(*size); !refusal.empty())
        return {size, std::move(refusal)};
    if (jpeg::hasTooManyScans(source))
        return {size, "is " + jpeg::tooManyScans()};
    return {size, {}};
}

// Each file examined in turn, told to the progress. A file met before (named twice, or met again
// through a link) is skipped. A file named that cannot be imported fails the whole import, before
// anything is written; one found in a folder is refused and the others go on.
std::vector<ImportCandidate> examineEach(const std::vector<FoundFile>& found,
                                         const ImportOptions& options, ImportReport& report) {
    std::vector<ImportCandidate> candidates;
    std::set<fs::path> met;
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [file, walked] = found[i];
        tell(options, ImportPhase::Examining, i + 1, found.size(), file);
        std::error_code error;
        const fs::path source = fs::canonical(file, error);
        if (!error && !met.insert(source).second) {
            report.skipped.push_back(file);
            continue;
        }
        const Examination examined =
            error ? Examination{std::nullopt, "cannot be read: " + error.message()}
                  : examine(source);
        if (examined.problem.empty()) {
            candidates.push_back({source, *examined.size});
            continue;
        }
        if (!walked)
            fail(examined.problem.starts_with("cannot") ? "UnreadableFile" : "NotAnImage",
                 file.string() + " " + examined.problem);
        report.refused.push_back({file, examined.problem});
    }
    return candidates;
}

// The uuid of the project `name` (the first in the library's order), made when missing, last in
// that order. The caller holds the write transaction.
std::string findOrMakeProject(Connection& db, const std::string& name) {
    auto find = db.prepare("SELECT uuid FROM RKFolder WHERE folderType = ? AND name = ? "
                           "ORDER BY sortIndex, rowid LIMIT 1");
    find.bind(1, kProjectFolderType).bind(2, name);
    if (find.step())
        return find.text(0);
    std::string uuid = newUuid();
    db.prepare("INSERT INTO RKFolder(uuid, name, folderType, sortIndex) VALUES(?, ?, ?, "
               "(SELECT coalesce(max(sortIndex), -1) + 1 FROM RKFolder))")
        .bind(1, uuid)
        .bind(2, name)
        .bind(3, kProjectFolderType)
        .run();
    return uuid;
}

// A file's identity on disk (device, inode); nullopt when it cannot be looked at.
using FileId = std::pair<dev_t, ino_t>;
std::optional<FileId> fileId(const fs::path& file) {
    struct stat status {};
    if (file.empty() || stat(file.c_str(), &status) != 0)
        return std::nullopt;
    return FileId{status.st_dev, status.st_ino};
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

// The masters of the project an import adds to: what it holds already, and where the copies of
// new managed masters go, below Masters/<project>/.
class ProjectMasters {
public:
    // `versions` are the project's as the import's transaction sees them.
    ProjectMasters(const std::vector<VersionRecord>& versions, const fs::path& package,
                   const std::string& project)
        : package_(package), project_(project), folder_(package / kMastersFolder / project) {
        for (const auto& existing : versions) {
            if (const auto id = fileId(existing.masterPath))
                masterFiles_.insert(*id);
            if (!existing.fileIsReference) {
                copiedByName_.emplace(existing.fileName, existing.masterPath);
                takenNames_.insert(existing.masterPath.filename().string());
            }
        }
    }

    // Never the same file twice into one project: `source` is a master's own file, or a file of
    // its name and contents was copied in before.
    bool holds(const fs::path& source) const {
        const auto id = fileId(source);
        if (id && masterFiles_.count(*id) > 0)
            return true;
        const auto [first, last] = copiedByName_.equal_range(source.filename().string());
        return std::any_of(first, last,
                           [&](const auto& copied) { return sameContents(copied.second, source); });
    }

    // Gives the managed master of `version` a free name in the project's folder, and copies
    // `source` into `staging`, where it waits for the commit. Returns the master's image path
    // (below Masters/). Throws "WriteFailed" when the copy fails.
    std::string stageCopy(const fs::path& source, VersionRecord& version,
                          const ImportStaging& staging) {
        const std::string name = takeFreeName(source);
        version.masterPath = folder_ / name;
        std::string imagePath = (fs::path(project_) / name).string();
        const fs::path staged = staging.stagedPath(imagePath);
        std::error_code error;
        fs::create_directories(staged.parent_path(), error);
        if (!error)
            fs::copy_file(source, staged, error);
        if (error)
            fail("WriteFailed", "cannot copy " + source.string() + " into " + package_.string() +
                                    ": " + error.message());
        return imagePath;
    }

private:
    // The first of "stem.ext", "stem (2).ext", ... that neither a row nor a file holds.
    std::string takeFreeName(const fs::path& source) {
        for (int n = 1;; ++n) {
            const std::string stem = source.stem().string();
            const std::string name = (n == 1 ? stem : stem + " (" + std::to_string(n) + ")") +
                                     source.extension().string();
            std::error_code error;
            if (takenNames_.count(name) == 0 && !fs::exists(folder_ / name, error)) {
                takenNames_.insert(name);
                return name;
            }
        }
    }

    const fs::path package_;
    const std::string project_;
    const fs::path folder_;
    std::set<FileId> masterFiles_;
    std::multimap<std::string, fs::path> copiedByName_;
    // The names below the project's folder that rows hold, also those of masters that another
    // import has committed but not yet moved into place.
    std::set<std::string> takenNames_;
};

// The candidates the project holds already leave the list for the report's skipped files.
void skipWhatIsAlreadyThere(std::vector<ImportCandidate>& candidates, const ProjectMasters& masters,
                            ImportReport& report) {
    std::erase_if(candidates, [&](const ImportCandidate& candidate) {
        const bool there = masters.holds(candidate.source);
        if (there)
            report.skipped.push_back(candidate.source);
        return there;
    });
}

// A new version of `candidate` in the project, with a new master whose place is still to be set.
VersionRecord newVersion(const ImportCandidate& candidate, const std::string& projectUuid,
                         bool reference) {
    VersionRecord v;
    v.uuid = newUuid();
    v.masterUuid = newUuid();
    v.projectUuid = projectUuid;
    v.name = candidate.source.stem().string();
    v.fileName = candidate.source.filename().string();
    v.fileIsReference = reference;
    v.width = candidate.size.width;
    v.height = candidate.size.height;
    return v;
}

// A referenced master stays where it lies: sets `version`'s master path and returns the image
// path its row holds, the path less its leading "/".
std::string referenceInPlace(const fs::path& source, VersionRecord& version) {
    version.masterPath = source;
    return source.string().substr(1);
}

// The statements of an import's rows, by the names that readers of the package share.
std::string insertMasterStatement() {
    return joined({"INSERT INTO ", kMasterTable, "(", kUuidColumn, ", ", kImagePathColumn, ", ",
                   kFileIsReferenceColumn, ", fileName, width, height) VALUES(?, ?, ?, ?, ?, ?)"});
}

// Each version goes last in its project (?4).
std::string insertVersionStatement() {
    const std::string lastInProject = joined({"(SELECT coalesce(max(sortIndex), -1) + 1 FROM ",
                                              kVersionTable, " WHERE projectUuid = ?4)"});
    return joined({"INSERT INTO ", kVersionTable, "(", kUuidColumn, ", name, ", kMasterUuidColumn,
                   ", projectUuid, sortIndex) VALUES(?, ?, ?, ?, ", lastInProject, ")"});
}

// The rows of an import: a master and a version for each file. Borrows the connection, whose
// write transaction the caller holds.
class VersionInserts {
public:
    explicit VersionInserts(Connection& db)
        : master_(db.prepare(insertMasterStatement())),
          version_(db.prepare(insertVersionStatement())) {}

    // Inserts `v` and its master, whose row holds `imagePath`. Throws ScriptingError.
    void insert(const VersionRecord& v, std::string_view imagePath) {
        master_.bind(1, v.masterUuid)
            .bind(2, imagePath)
            .bind(3, int64_t{v.fileIsReference ? 1 : 0})
            .bind(4, v.fileName)
            .bind(5, v.width)
            .bind(6, v.height)
            .run();
        master_.reset();
        version_.bind(1, v.uuid).bind(2, v.name).bind(3, v.masterUuid).bind(4, v.projectUuid).run();
        version_.reset();
    }

private:
    Statement master_;
    Statement version_;
};

} // namespace

ImportReport LibraryPackage::importFiles(std::span<const fs::path> inputs,
                                         const ImportOptions& options) {
    checkProjectName(options.project);
    if (inputs.empty())
        fail("NothingToImport", "no file or folder to import");
    ImportReport report;
    std::vector<ImportCandidate> candidates =
        examineEach(gatherFiles(inputs, options), options, report);

    Transaction transaction(db_);
    const std::string projectUuid = findOrMakeProject(db_, options.project);
    ProjectMasters masters(versions(projectUuid), path_, options.project);
    skipWhatIsAlreadyThere(candidates, masters, report);
    // Nothing new: the library stays as it was, without an empty project.
    if (candidates.empty())
        return report;

    // Managed masters are copied into a staging folder and moved into Masters/<project>/ after
    // the commit, so that an import that dies leaves no file without a row: what it left (the
    // master list's temporary file too), the next command finishes or removes.
    ImportStaging staging = ImportStaging::make(path_);
    VersionInserts inserts(db_);
    for (const ImportCandidate& candidate : candidates) {
        tell(options, ImportPhase::Adding, report.imported.size() + 1, candidates.size(),
             candidate.source);
        VersionRecord version = newVersion(candidate, projectUuid, options.reference);
        const std::string imagePath = options.reference
                                          ? referenceInPlace(candidate.source, version)
                                          : masters.stageCopy(candidate.source, version, staging);
        inserts.insert(version, imagePath);
        report.imported.push_back(std::move(version));
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

} // namespace lumsift::photolib
