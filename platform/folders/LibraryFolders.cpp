// The Library folders, from the XDG base-directory settings.
#include "platform/folders/LibraryFolders.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace lumsift::folders {
namespace {

std::mutex& localMutex() {
    static std::mutex m;
    return m;
}
std::filesystem::path& localFolder() {
    static std::filesystem::path folder = "/usr/local/share";
    return folder;
}

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    passwd entry{};
    passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return {};
    return found->pw_dir;
}

// "~" and "~/..." become the home folder; other paths stay as they are.
std::filesystem::path expandTilde(const std::string& path) {
    if (path != "~" && !path.starts_with("~/"))
        return path;
    const auto home = homeDirectory();
    if (home.empty())
        return {};
    return path.size() <= 2 ? home : home / path.substr(2);
}

} // namespace

std::filesystem::path userLibraryDirectory() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr) {
        // The base-directory rules ignore a relative setting.
        const auto expanded = expandTilde(xdg);
        if (expanded.is_absolute())
            return expanded;
    }
    const auto home = homeDirectory();
    if (home.empty())
        return {};
    return home / ".local/share";
}

std::filesystem::path localLibraryDirectory() {
    std::lock_guard lock(localMutex());
    return localFolder();
}

std::vector<std::filesystem::path> libraryDirectories() {
    std::vector<std::filesystem::path> folders;
    for (auto folder : {userLibraryDirectory(), localLibraryDirectory()}) {
        if (!folder.empty())
            folders.push_back(std::move(folder));
    }
    return folders;
}

void setLocalLibraryDirectoryForTesting(const std::filesystem::path& folder) {
    std::lock_guard lock(localMutex());
    localFolder() = folder;
}

} // namespace lumsift::folders
