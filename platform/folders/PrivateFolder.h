// A folder of the user's own for files no one else may read (exported copies of pictures): made
// fresh with mode 0700 under $XDG_RUNTIME_DIR where that names a folder, else under the
// temporary directory, and removed with everything in it when its owner is destroyed.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <sys/types.h>

namespace lumsift::folders {

class PrivateFolder {
public:
    // Makes "<parent>/<prefix>XXXXXX" (the X's random) with mode 0700. Returns null when no such
    // folder can be made. `prefix` is copied.
    static std::unique_ptr<PrivateFolder> make(std::string_view prefix);

    // Removes the folder and its contents, errors ignored; only in the process that made it, so
    // that a forked child never removes its parent's folder.
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    // Absolute.
    const std::filesystem::path& path() const { return path_; }

private:
    PrivateFolder(std::filesystem::path path, pid_t maker) : path_(std::move(path)), maker_(maker) {}

    std::filesystem::path path_;
    pid_t maker_;
};

// Where private folders are made: $XDG_RUNTIME_DIR when it is an absolute path to a folder, else
// the temporary directory (/tmp when even that cannot be named).
std::filesystem::path privateFolderParent();

} // namespace lumsift::folders
