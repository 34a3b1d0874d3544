// Staging folders of imports: made and locked by the importer, moved into Masters/ after its
// commit, and found, finished or undone by the next command when the importer died.
#include "photolib/ImportStaging.h"

#include "platform/scripting/Aperture.h"
#include "platform/scripting/ApertureLibrary.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>

namespace lumsift::photolib {
namespace fs = std::filesystem;
using scripting::ScriptingError;
using scripting::package::kMastersFolder;

namespace {

constexpr std::string_view kPrefix = ".import-";
// The lock file that imports of earlier versions made inside their folder.
constexpr const char* kLockName = "lock";

[[noreturn]] void fail(const std::string& message) {
    throw ScriptingError("WriteFailed", message);
}

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

// Renames `from` to `to` unless something is at `to` already. Returns 0 or the errno.
int renameNoReplace(const fs::path& from, const fs::path& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    return errno;
}

// Moves the staged copy `staged` to Masters/<imagePath>, making its project folder. Returns an
// empty text, or why it could not.
std::string moveToMasters(const fs::path& package, const fs::path& staged,
                          const fs::path& imagePath) {
    const fs::path target = package / kMastersFolder / imagePath;
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    if (error)
        return "cannot make " + target.parent_path().string() + ": " + error.message();
    if (const int failed = renameNoReplace(staged, target); failed != 0)
        return "cannot move " + staged.string() + " to " + target.string() + ": " +
               errnoText(failed);
    return {};
}

// The folder itself, opened to be locked; invalid when it is gone. The lock is on the folder, not
// on a file in it, so that it holds until the folder is gone: removing the folder's contents never
// leaves it looking abandoned while its importer lives.
UniqueFd openFolder(const fs::path& folder) {
    return UniqueFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Whether another process holds the lock on `fd`.
bool lockedElsewhere(const UniqueFd& fd) {
    return fd.valid() && flock(fd.get(), LOCK_EX | LOCK_NB) != 0;
}

// The staged copies below `folder` (every regular file in a sub-folder), each with its image
// path, the path below the staging folder.
template <class Visit> void forEachStagedCopy(const fs::path& folder, Visit visit) {
    std::error_code error;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator walk(folder, error), end; !error && walk != end;
         walk.increment(error))
        if (walk.depth() > 0 && walk->is_regular_file(error))
            files.push_back(walk->path());
    for (const auto& file : files)
        visit(file, file.lexically_relative(folder));
}

} // namespace

ImportStaging::ImportStaging(fs::path package, fs::path folder, UniqueFd lock)
    : package_(std::move(package)), folder_(std::move(folder)), lock_(std::move(lock)) {}

ImportStaging::ImportStaging(ImportStaging&& other) noexcept
    : package_(std::move(other.package_)), folder_(std::move(other.folder_)),
      lock_(std::move(other.lock_)), done_(std::exchange(other.done_, true)) {}

ImportStaging ImportStaging::make(const fs::path& package) {
    std::string pattern = (package / (std::string(kPrefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr)
        fail("cannot make a staging folder in " + package.string() + ": " + errnoText(errno));
    const fs::path folder = pattern;
    // Waits: another command looking for abandoned folders may hold the lock a moment. It takes
    // no longer, since it looks under the package's write transaction, which the caller holds.
    UniqueFd lock = openFolder(folder);
    if (!lock.valid() || flock(lock.get(), LOCK_EX) != 0) {
        const int error = errno;
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        fail("cannot lock the staging folder " + folder.string() + ": " + errnoText(error));
    }
    return ImportStaging(package, folder, std::move(lock));
}

ImportStaging::~ImportStaging() {
    if (done_ || folder_.empty())
        return;
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

fs::path ImportStaging::stagedPath(std::string_view imagePath) const {
    return folder_ / fs::path(imagePath);
}

void ImportStaging::moveIntoPlace() {
    // From here on the copies belong to committed rows: they are never removed.
    done_ = true;
    std::string failure;
    forEachStagedCopy(folder_, [&](const fs::path& staged, const fs::path& imagePath) {
        if (failure.empty())
            failure = moveToMasters(package_, staged, imagePath);
    });
    if (!failure.empty())
        fail(failure + " (the next photolib command moves it)");
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::vector<AbandonedStaging> abandonedStagings(const fs::path& package) {
    std::vector<AbandonedStaging> found;
    std::error_code error;
    for (fs::directory_iterator it(package, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(kPrefix) || !it->is_directory(error))
            continue;
        UniqueFd lock = openFolder(it->path());
        if (!lock.valid() || lockedElsewhere(lock))
            continue; // gone meanwhile, or its importer is still at work
        if (lockedElsewhere(UniqueFd(open((it->path() / kLockName).c_str(), O_RDONLY | O_CLOEXEC))))
            continue; // an import of an earlier version is still at work
        found.push_back({it->path(), std::move(lock)});
    }
    return found;
}

void settleStagedCopies(const fs::path& package, const AbandonedStaging& staging,
                        const std::function<bool(const std::string&)>& committed) {
    std::string failure;
    forEachStagedCopy(staging.folder, [&](const fs::path& staged, const fs::path& imagePath) {
        std::error_code error;
        if (committed(imagePath.string()) &&
            !fs::exists(package / kMastersFolder / imagePath, error)) {
            const std::string moved = moveToMasters(package, staged, imagePath);
            if (failure.empty())
                failure = moved;
            return;
        }
        fs::remove(staged, error);
        if (error && failure.empty())
            failure = "cannot remove " + staged.string() + ": " + error.message();
    });
    if (!failure.empty())
        fail("cannot finish an interrupted import: " + failure);
}

void removeStaging(const AbandonedStaging& staging) {
    std::error_code error;
    fs::remove_all(staging.folder, error);
    if (error)
        fail("cannot remove " + staging.folder.string() + ": " + error.message());
}

} // namespace lumsift::photolib
