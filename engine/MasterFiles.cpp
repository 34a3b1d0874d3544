// Where each loaded image's master file lies: the library package's database, else its
// ApertureData.xml; and the file to fingerprint for an image, in place or exported.
#include <string>
#include <thread>

#include "engine/LumsiftForAperture.h"
#include "engine/Text.h"
#include "platform/log/Log.h"
#include "platform/plist/Plist.h"
#include "platform/sqlite/Sqlite.h"

namespace lumsift {
namespace {

// The identifier is bound, never pasted into the text, so no identifier can change the query.
constexpr std::string_view kMasterQuery =
    "select imagePath,fileIsReference from RKMaster where (uuid=(select MasterUuid from "
    "RKVersion where (uuid=?)));";

// The master path for one identifier from the open database; "" (with its log line) when the
// query finds none.
std::string masterPathFromDatabase(const SqliteConnection& db, const std::string& library,
                                   const std::string& identifier) {
    SqliteStatus status;
    SqliteStatement query = SqliteStatement::prepare(db, kMasterQuery, status);
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
        path = library + "/Masters/" + *imagePath;
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
    const std::string xmlPath = library ? *library + "/ApertureData.xml" : std::string();
    if (library && helpers::fileExists(xmlPath, delegate())) {
        const std::optional<plist::Plist> data = plist::Plist::readFile(xmlPath);
        const plist_t masterList =
            data ? plist::dictItem(data->get(), "Master Image List") : nullptr;
        const std::string prefix = nfc(*library + "/Masters/");
        for (const std::string& identifier : allImageIDs) {
            const plist_t entry =
                masterList ? plist::dictItem(masterList, identifier.c_str()) : nullptr;
            if (entry == nullptr) {
                allImagePaths.emplace_back();
                ++unidentified;
                continue;
            }
            const std::optional<std::string> imagePath =
                plist::stringValue(plist::dictItem(entry, "ImagePath"));
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
    const std::string databasePath = *library + "/Database/Library.apdb";
    if (!helpers::fileExists(databasePath, delegate())) {
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
        if (!path.empty() && helpers::fileExists(path, delegate())) {
            return std::filesystem::path(path);
        }
    }
    if (!hasFileName) {
        return std::nullopt;
    }
    const std::vector<std::filesystem::path> exported =
        photoApplication->exportVersions({image}, exportFolder, scripting::kExportMetadataRKSC);
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

} // namespace lumsift
