// The stand-in's setting of which library is open: a file under the user's configuration folder
// that names the package, written whole.
#include "photolib/LibraryPackage.h"

#include "photolib/AtomicFile.h"
#include "photolib/Failure.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace lumsift::photolib {
namespace fs = std::filesystem;

namespace {

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

} // namespace

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
