// File utilities of the engine: existence and readability with the read-access prompt,
// deletion, comparison.
#include "engine/helpers.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "engine/LumsiftForAperture.h"
#include "engine/Pages.h"
#include "platform/log/Log.h"

namespace lumsift {
namespace {

// The part of `path` the user is asked to open: the whole library package when the path lies
// inside one, else the file itself.
std::string promptPath(std::string_view path) {
    for (const std::string_view suffix : {".aplibrary", ".photolibrary"}) {
        const std::size_t at = path.find(suffix);
        if (at != std::string_view::npos) {
            return std::string(path.substr(0, at + suffix.size()));
        }
    }
    return std::string(path);
}

} // namespace

bool helpers::fileExists(std::string_view path, const std::shared_ptr<AppDelegate>& appDelegate) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(path), ec)) {
        return false;
    }
    if (fileReadable(path)) {
        return true;
    }
    if (appDelegate) {
        const std::string asked = promptPath(path);
        mainThread().runAndWait([&appDelegate, &asked] { appDelegate->userSelectedFiles(asked); });
    }
    return fileReadable(path);
}

bool helpers::fileReadable(std::string_view path) {
    return access(std::string(path).c_str(), R_OK) == 0;
}

void helpers::deleteFile(std::string_view path) {
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(path), ignored);
}

bool helpers::compareFiles(std::string_view a, std::string_view b) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(a), ec) ||
        !std::filesystem::is_regular_file(std::filesystem::path(b), ec)) {
        return false;
    }
    std::ifstream first{std::filesystem::path(a), std::ios::binary};
    std::ifstream second{std::filesystem::path(b), std::ios::binary};
    if (!first || !second) {
        return false;
    }
    constexpr std::size_t kChunk = 64 * 1024;
    std::string x(kChunk, '\0');
    std::string y(kChunk, '\0');
    while (true) {
        first.read(x.data(), kChunk);
        second.read(y.data(), kChunk);
        const std::streamsize n = first.gcount();
        if (n != second.gcount() || x.compare(0, n, y, 0, n) != 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
    }
}

void helpers::hashFile(std::string_view path) {
    log::line("In class method hashFile. filePathName=");
    log::line(path);
}

} // namespace lumsift
