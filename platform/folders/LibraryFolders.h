// The Library folders of the user and local domains: where per-user and machine-wide support
// files (crash logs among them) lie. Here $XDG_DATA_HOME (default ~/.local/share) and
// /usr/local/share.
#pragma once

#include <filesystem>
#include <vector>

namespace lumsift::folders {

// The user's Library folder: $XDG_DATA_HOME when it is an absolute path (a leading "~" is
// expanded), else ~/.local/share. Empty when no home folder can be found.
std::filesystem::path userLibraryDirectory();

// The machine-wide Library folder (/usr/local/share unless a test changed it).
std::filesystem::path localLibraryDirectory();

// The user's folder first, then the machine's; a folder that cannot be named is left out. The
// folders need not exist.
std::vector<std::filesystem::path> libraryDirectories();

// Replaces the machine-wide folder (tests); copies the path.
void setLocalLibraryDirectoryForTesting(const std::filesystem::path& folder);

} // namespace lumsift::folders
