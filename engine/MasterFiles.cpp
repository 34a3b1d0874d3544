// Where each loaded image's master file lies: the library package's database, else its
// ApertureData.xml; and the file to fingerprint for an image, in place or exported.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"
#include "platform/fd/UniqueFd.h"
#include "platform/log/Log.h"
#include "platform/plist/Plist.h"
#include "platform/scripting/ApertureLibrary.h"
#include "platform/sqlite/Sqlite.h"

namespace lumsift {
namespace {

namespace package = scripting::package;

// The path of `entry` (a name of the package's layout) in the package at `library`.
std::string inPackage(const std::string& library, std::string_view entry) {
    return package::joined({library, "/", entry});
}

// The largest ApertureData.xml that is read. A library of 500,000 images describes them in well
// under this, and parsing takes a little more memory than the file's size, so a file above it is
// damaged or hostile and is refused as a file that cannot be used.
constexpr std::uintmax_t kMaxXmlBytes = std::uintmax_t{1} << 30;

// The whole of the regular file at `path` when it holds at most `limit` bytes; nullopt when it
// cannot be opened, is no regular file (a FIFO is opened without waiting) or is larger, also
// when it grows while being read.
std::optional<std::string> readBoundedFile(const std::string& path, std::uintmax_t limit) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd.valid() || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uintmax_t>(status.st_size) > limit) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    if (filled > limit) {
        return std::nullopt;
    }
    bytes.resize(filled);
    return bytes;
}

// False, with a log line, when the file at `path` is larger than ApertureData.xml may be.
bool xmlSizeAllowed(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > kMaxXmlBytes) {
        log::line("ApertureData.xml is larger than " + std::to_string(kMaxXmlBytes) +
                  " bytes: not read");
        return false;
    }
    return true;
}

// The master of one image version: its imagePath and fileIsReference. The identifier is bound,
// never pasted into the text, so no identifier can change the query.
const std::string& masterQuery() {
    using namespace package;
    // Never destroyed: an analysis still running while the process exits may ask for it.
    static const std::string& query = *new std::string(
        joined({"select ", kImagePathColumn, ",", kFileIsReferenceColumn, " from ", kMasterTable,
                " where (", kUuidColumn, "=(select ", kMasterUuidColumn, " from ", kVersionTable,
                " where (", kUuidColumn, "=?)));"}));
    return query;
}

// The master path for one identifier from the open database; "" (with its log line) when the
// query finds none.
std::string masterPathFromDatabase(const SqliteConnection& db, const std::string& library,
                                   const std::string& identifier) {
    SqliteStatus status;
    SqliteStatement query = SqliteStatement::prepare(db, masterQuery(), status);
    if (query.isPrepared()) {
        status = query.bindText(1, identifier);
    }
    if (!status.ok()) {
        log::line("SQLite: No results for this query: id=" + identifier);
        return "";
    }
    if (query.step() != SqliteStatement::Step::Row) {
        log::line("SQLite: No rows were found");
        return "";
    }
    std::string path;
    if (query.columnCount() != 2) {
        log::line("SQL query column count error");
    } else if (const std::optional<std::string> imagePath = query.columnText(0); !imagePath) {
        log::line("SQL query found nil path");
    } else if (query.columnInt(1) != 0) {
        path = "/" + *imagePath;
    } else {
        path = inPackage(library, package::kMastersFolder) + "/" + *imagePath;
    }
    while (query.step() == SqliteStatement::Step::Row) {
        log::line("SQLite: found more rows than expected");
    }
    return path;
}

} // namespace

void LumsiftForAperture::loadXmlData() {
    const std::optional<std::string> library = apertureLibrary();
    if (library && loadApertureDataSqlite()) {
        return;
    }
    const std::vector<std::string>& allImageIDs = loaded.allImageIDs();
    std::vector<std::string> allImagePaths;
    long masters = 0;
    long previews = 0;
    long unidentified = 0;
    const std::string xmlPath =
        library ? inPackage(*library, package::kMasterListFile) : std::string();
    if (library && readableFile(xmlPath) && xmlSizeAllowed(xmlPath)) {
        const std::optional<std::string> bytes = readBoundedFile(xmlPath, kMaxXmlBytes);
        const std::optional<plist::Plist> data =
            bytes ? plist::Plist::parse(*bytes) : std::optional<plist::Plist>();
        const plist_t masterList =
            data ? plist::dictItem(data->get(), package::kMasterImageListKey) : nullptr;
        const std::string prefix = nfc(inPackage(*library, package::kMastersFolder) + "/");
        for (const std::string& identifier : allImageIDs) {
            const plist_t entry =
                masterList ? plist::dictItem(masterList, identifier.c_str()) : nullptr;
            if (entry == nullptr) {
                allImagePaths.emplace_back();
                ++unidentified;
                continue;
            }
            const std::optional<std::string> imagePath =
                plist::stringValue(plist::dictItem(entry, package::kImagePathKey));
            if (imagePath && nfc(*imagePath).find(prefix) != std::string::npos) {
                allImagePaths.push_back(*imagePath);
                ++masters;
                continue;
            }
            allImagePaths.emplace_back();
            ++previews;
        }
    } else {
        allImagePaths.assign(allImageIDs.size(), std::string());
    }
    loaded.setAllImagePaths(std::move(allImagePaths));
    log::line("Masters: " + std::to_string(masters) + "  Previews: " + std::to_string(previews) +
              "  UnIdentified: " + std::to_string(unidentified));
}

bool LumsiftForAperture::loadApertureDataSqlite() {
    const std::vector<std::string>& allImageIDs = loaded.allImageIDs();
    const std::size_t n = allImageIDs.size();
    const std::optional<std::string> library = apertureLibrary();
    if (!library || library->empty()) {
        return false;
    }
    const std::string databasePath = inPackage(*library, package::kDatabasePath);
    if (!readableFile(databasePath)) {
        return false;
    }
    SqliteStatus status;
    const SqliteConnection db = SqliteConnection::openReadOnly(databasePath, status);
    if (!db.isOpen()) {
        log::line("Unable to open Aperture database");
        return false;
    }
    std::vector<std::string> allImagePaths;
    allImagePaths.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        allImagePaths.push_back(masterPathFromDatabase(db, *library, allImageIDs[i]));
    }
    loaded.setAllImagePaths(std::move(allImagePaths));
    return true;
}

std::optional<std::filesystem::path> LumsiftForAperture::exportImage(const ImageVersion& image) {
    const std::optional<std::string> fileName = imageFileName(image);
    const bool hasFileName = fileName && !fileName->empty();
    const std::optional<std::string> library = apertureLibrary();
    if (library && !library->empty() && hasFileName) {
        const std::string path = loaded.masterPathFor(image.id());
        if (!path.empty() && readableFile(path)) {
            return std::filesystem::path(path);
        }
    }
    if (!hasFileName) {
        return std::nullopt;
    }
    std::vector<std::filesystem::path> exported;
    try {
        exported =
            photoApplication->exportVersions({image}, exportFolder, scripting::kExportMetadataRKSC);
    } catch (const scripting::ScriptingError& error) {
        // An export that fails gives no file, as one that yields nothing does (the master may
        // be unreadable to the application too).
        log::line("The export of " + image.id() + " failed (" + error.name() +
                  "): " + error.reason());
    }
    if (exported.empty()) {
        return std::nullopt;
    }
    const std::filesystem::path url = exported.front();
    // The application writes an XMP sidecar beside the copy; nobody reads it.
    std::filesystem::path sidecar = url;
    sidecar.replace_extension();
    std::thread([help = help, sidecar = sidecar.string() + ".XMP"] {
        help->deleteFileInstance(sidecar);
    }).detach();
    return url;
}

bool LumsiftForAperture::readableFile(const std::string& path) {
    std::error_code error;
    const bool regular = std::filesystem::is_regular_file(path, error);
    if (readAccessRefused && regular && !helpers::fileReadable(path)) {
        log::line("Read access to " + path + " was refused earlier in this run: not asked again");
        return false;
    }
    if (helpers::fileExists(path, delegate())) {
        return true;
    }
    // The file is there but stayed unreadable through the prompt: the user declined, or the
    // platform grants nothing through the panel. Asking again for each later file would only
    // hold up the run. A missing file was never asked for and changes nothing.
    if (regular) {
        readAccessRefused = true;
    }
    return false;
}

} // namespace lumsift
