// File utilities of the engine: existence and readability with the read-access prompt,
// deletion, comparison.
#include "engine/helpers.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

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

// Byte-for-byte equality of two regular files.
bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    const auto sizeA = std::filesystem::file_size(a, ec);
    if (ec) {
        return false;
    }
    const auto sizeB = std::filesystem::file_size(b, ec);
    if (ec || sizeA != sizeB) {
        return false;
    }
    std::ifstream first{a, std::ios::binary};
    std::ifstream second{b, std::ios::binary};
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

// The names in a directory, sorted; nullopt when it cannot be listed.
std::optional<std::vector<std::string>> entryNames(const std::filesystem::path& dir) {
    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Equal contents as the file manager sees them: links are not followed but compared by their
// targets, files by their bytes, directories by their entries' names and contents, recursively.
bool contentsEqual(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    const std::filesystem::file_type type = std::filesystem::symlink_status(a, ec).type();
    if (ec) {
        return false;
    }
    const std::filesystem::file_type typeB = std::filesystem::symlink_status(b, ec).type();
    if (ec || type != typeB) {
        return false;
    }
    switch (type) {
    case std::filesystem::file_type::symlink: {
        const std::filesystem::path targetA = std::filesystem::read_symlink(a, ec);
        if (ec) {
            return false;
        }
        const std::filesystem::path targetB = std::filesystem::read_symlink(b, ec);
        return !ec && targetA == targetB;
    }
    case std::filesystem::file_type::regular:
        return sameBytes(a, b);
    case std::filesystem::file_type::directory: {
        const auto namesA = entryNames(a);
        const auto namesB = entryNames(b);
        if (!namesA || !namesB || *namesA != *namesB) {
            return false;
        }
        return std::all_of(namesA->begin(), namesA->end(), [&](const std::string& name) {
            return contentsEqual(a / name, b / name);
        });
    }
    default:
        return false;
    }
}

} // namespace

bool helpers::fileExists(std::string_view path, const std::shared_ptr<AppDelegate>& appDelegate) {
    // A FIFO would block whoever opens it, and a device or a folder is no file to read: all are
    // taken as missing.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) {
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
    // A trailing slash would make the system resolve a link named by the path, and the link's
    // target would be emptied instead of the link removed.
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    // A folder goes with everything in it; a link, here or inside it, is removed, not followed.
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path), ignored);
}

bool helpers::compareFiles(std::string_view a, std::string_view b) {
    return contentsEqual(std::filesystem::path(a), std::filesystem::path(b));
}

void helpers::hashFile(std::string_view path) {
    log::line("In class method hashFile. filePathName=");
    log::line(path);
}

} // namespace lumsift
