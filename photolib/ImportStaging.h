// Where an import keeps its copies until its transaction has committed, so that an import killed at
// any moment leaves no master file without a row: a folder ".import-XXXXXX" inside the package,
// locked by the importing process for as long as it lives. After the commit the copies move into
// Masters/. A staging folder whose lock nobody holds was left by an import that died; the next
// command finds it with abandonedStagings() and finishes or undoes it.
#pragma once

#include "platform/fd/UniqueFd.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::photolib {

class ImportStaging {
public:
    // Makes a staging folder in `package` and locks it. The caller must hold the package's write
    // transaction, so that no recovery looks at the folder before it is locked. Throws
    // ScriptingError when the folder cannot be made.
    static ImportStaging make(const std::filesystem::path& package);

    // Removes the folder with everything in it unless moveIntoPlace() ran: an import that fails
    // before its commit leaves nothing behind.
    ~ImportStaging();
    ImportStaging(ImportStaging&& other) noexcept;
    ImportStaging& operator=(ImportStaging&&) = delete;
    ImportStaging(const ImportStaging&) = delete;
    ImportStaging& operator=(const ImportStaging&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    // Where the copy of the master that will lie at Masters/<imagePath> waits.
    std::filesystem::path stagedPath(std::string_view imagePath) const;

    // Moves every staged copy to its place below Masters/ and removes the folder; run after the
    // commit. Throws ScriptingError naming a copy that could not be moved; the folder is then
    // unlocked and kept, and the next command moves what is left.
    void moveIntoPlace();

private:
    ImportStaging(std::filesystem::path package, std::filesystem::path folder, UniqueFd lock);

    std::filesystem::path package_;
    std::filesystem::path folder_;
    UniqueFd lock_;
    bool done_ = false;
};

// A staging folder left by an import that died, locked by this process while the object lives.
struct AbandonedStaging {
    std::filesystem::path folder;
    UniqueFd lock;
};

// The staging folders of `package` whose importer is gone. Never throws; a folder that cannot be
// looked at is left out.
std::vector<AbandonedStaging> abandonedStagings(const std::filesystem::path& package);

// Settles the copies of an abandoned import: each staged copy for which `committed` (given its
// image path, the path below Masters/) says a row exists moves into place; every other file in a
// sub-folder is removed. The caller holds the package's write transaction. Throws ScriptingError
// when a copy can be neither moved nor removed.
void settleStagedCopies(const std::filesystem::path& package, const AbandonedStaging& staging,
                        const std::function<bool(const std::string&)>& committed);

// Removes the folder of an abandoned import with whatever it still holds. Throws ScriptingError.
void removeStaging(const AbandonedStaging& staging);

} // namespace lumsift::photolib
