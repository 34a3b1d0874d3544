// Private folders: mkdtemp under the runtime or the temporary directory.
#include "platform/folders/PrivateFolder.h"

#include <cstdlib>
#include <string>
#include <system_error>
#include <unistd.h>

namespace lumsift::folders {

std::filesystem::path privateFolderParent() {
    std::error_code error;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
        const std::filesystem::path folder(runtime);
        if (folder.is_absolute() && std::filesystem::is_directory(folder, error))
            return folder;
    }
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    return error ? std::filesystem::path("/tmp") : temporary;
}

std::unique_ptr<PrivateFolder> PrivateFolder::make(std::string_view prefix) {
    // mkdtemp makes the folder with mode 0700 whatever the umask, and never reuses one.
    std::string name = (privateFolderParent() / prefix).string() + "XXXXXX";
    if (mkdtemp(name.data()) == nullptr)
        return nullptr;
    return std::unique_ptr<PrivateFolder>(new PrivateFolder(name, getpid()));
}

PrivateFolder::~PrivateFolder() {
    if (getpid() != maker_)
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace lumsift::folders
