// What changes the package besides an import: photolib's selection, and the photo application's
// writes through its stand-in (custom tags, keywords) and exports of a version's master.
#include "photolib/LibraryPackage.h"

#include "photolib/AtomicFile.h"
#include "photolib/Failure.h"
#include "photolib/PackageRows.h"
#include "photolib/Text.h"
#include "platform/scripting/ApertureLibrary.h"

#include <algorithm>
#include <functional>
#include <system_error>

namespace lumsift::photolib {
namespace fs = std::filesystem;
using namespace scripting::package;

namespace {

// Copies `source` into `folder` as the first of "stem.ext", "stem (2).ext", ... for which
// `isFree` holds. The copy never overwrites: a name taken meanwhile by someone else makes it try
// the next. Returns the copy; throws ScriptingError of `failKind` when the copy fails.
fs::path copyUnderFreeName(const fs::path& source, const fs::path& folder, const std::string& stem,
                           const std::string& extension,
                           const std::function<bool(const fs::path&)>& isFree,
                           std::string failKind) {
    for (int n = 1;; ++n) {
        const std::string name = n == 1 ? stem : stem + " (" + std::to_string(n) + ")";
        const fs::path copy = folder / (name + extension);
        if (!isFree(copy))
            continue;
        std::error_code error;
        if (fs::copy_file(source, copy, fs::copy_options::none, error))
            return copy;
        if (error != std::errc::file_exists)
            fail(std::move(failKind), "cannot copy " + source.string() + " to " + copy.string() +
                                          ": " + error.message());
    }
}

std::string xmpSidecar(const VersionRecord& version, const std::vector<KeywordRecord>& keywords) {
    std::string xmp = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
                      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                      "  <rdf:Description rdf:about=\"\" "
                      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
                      "   <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">" +
                      markupText(version.name) + "</rdf:li></rdf:Alt></dc:title>\n";
    if (!keywords.empty()) {
        xmp += "   <dc:subject><rdf:Bag>\n";
        for (const auto& keyword : keywords)
            xmp += "    <rdf:li>" + markupText(keyword.name) + "</rdf:li>\n";
        xmp += "   </rdf:Bag></dc:subject>\n";
    }
    xmp += "  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>\n";
    return xmp;
}

// A file name made from a version name: no folder separators, never empty.
std::string fileStemFor(std::string name, const std::string& fallback) {
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.empty() || name == "." || name == "..")
        return fallback;
    return name;
}

} // namespace

void LibraryPackage::select(std::span<const std::string> keys) {
    Transaction transaction(db_);
    std::vector<std::string> chosen;
    const std::string inLibraryOrder = " ORDER BY f.sortIndex, f.rowid, v.sortIndex, v.rowid";
    auto byUuid = db_.prepare("SELECT uuid FROM RKVersion WHERE uuid = ?");
    auto byName = db_.prepare("SELECT v.uuid FROM RKVersion v LEFT JOIN RKFolder f ON f.uuid = "
                              "v.projectUuid WHERE v.name = ?" +
                              inLibraryOrder);
    // A referenced master by its path less the leading "/" (?1), a managed one by its path below
    // Masters/ (?2).
    auto byPath = db_.prepare(joined(
        {"SELECT v.uuid FROM ", kVersionTable, " v JOIN ", kMasterTable, " m ON m.", kUuidColumn,
         " = v.", kMasterUuidColumn, " LEFT JOIN RKFolder f ON f.uuid = v.projectUuid WHERE (m.",
         kFileIsReferenceColumn, " != 0 AND m.", kImagePathColumn, " = ?1) OR (m.",
         kFileIsReferenceColumn, " = 0 AND m.", kImagePathColumn, " = ?2)", inLibraryOrder}));
    const fs::path masters = path_ / kMastersFolder;
    // The versions whose master lies at `file`, absolute and normal.
    const auto atPath = [&](const fs::path& file, std::vector<std::string>& found) {
        byPath.bind(1, file.string().substr(1));
        const fs::path below = file.lexically_relative(masters);
        if (!below.empty() && *below.begin() != "..")
            byPath.bind(2, below.string());
        else
            byPath.bindNull(2);
        while (byPath.step())
            found.push_back(byPath.text(0));
        byPath.reset();
    };
    const auto collect = [](Statement& query, std::vector<std::string>& found) {
        while (query.step())
            found.push_back(query.text(0));
        query.reset();
    };
    for (const auto& key : keys) {
        std::vector<std::string> found;
        collect(byUuid.bind(1, key), found);
        if (found.empty())
            collect(byName.bind(1, key), found);
        if (found.empty() && !key.empty()) {
            // As given (a link to a master names it), and with links resolved.
            const fs::path file = fs::absolute(key).lexically_normal();
            atPath(file, found);
            std::error_code error;
            const fs::path resolved = fs::weakly_canonical(file, error);
            if (found.empty() && !error && resolved != file)
                atPath(resolved, found);
        }
        if (found.empty())
            fail("NoSuchVersion", "no version has the name, uuid or master file \"" + key + "\"");
        for (auto& uuid : found)
            if (std::find(chosen.begin(), chosen.end(), uuid) == chosen.end())
                chosen.push_back(std::move(uuid));
    }
    db_.exec("DELETE FROM RKSelection");
    auto insert = db_.prepare("INSERT INTO RKSelection(versionUuid, sortIndex) VALUES(?, ?)");
    for (size_t i = 0; i < chosen.size(); ++i) {
        insert.bind(1, chosen[i]).bind(2, static_cast<int64_t>(i)).run();
        insert.reset();
    }
    transaction.commit();
}

void LibraryPackage::setCustomTag(const std::string& versionUuid, std::string_view name,
                                  std::string_view value) {
    // One statement, so one commit; an upsert keeps the row (and so the tag's place).
    kept("INSERT INTO RKCustomTag(versionUuid, name, value) SELECT ?1, ?2, ?3 "
         "WHERE EXISTS (SELECT 1 FROM RKVersion WHERE uuid = ?1) "
         "ON CONFLICT(versionUuid, name) DO UPDATE SET value = excluded.value")
        ->bind(1, versionUuid)
        .bind(2, name)
        .bind(3, value)
        .run();
    if (db_.changes() == 0)
        fail("NoSuchVersion", "no version has the uuid " + versionUuid);
}

void LibraryPackage::addKeyword(const std::string& versionUuid, std::string_view name,
                                std::string_view parent) {
    Transaction transaction(db_);
    auto exists = db_.prepare("SELECT 1 FROM RKVersion WHERE uuid = ?");
    if (!exists.bind(1, versionUuid).step())
        fail("NoSuchVersion", "no version has the uuid " + versionUuid);

    // The keyword `keywordName` under `parentUuid` (top level when null), made when missing.
    const auto keywordUuid = [&](std::string_view keywordName,
                                 const std::optional<std::string>& parentUuid) {
        auto find = db_.prepare("SELECT uuid FROM RKKeyword WHERE name = ? AND parentUuid IS ? "
                                "ORDER BY rowid LIMIT 1");
        find.bind(1, keywordName);
        if (parentUuid)
            find.bind(2, *parentUuid);
        else
            find.bindNull(2);
        if (find.step())
            return find.text(0);
        std::string uuid = newUuid();
        auto insert = db_.prepare("INSERT INTO RKKeyword(uuid, name, parentUuid) VALUES(?, ?, ?)");
        insert.bind(1, uuid).bind(2, keywordName);
        if (parentUuid)
            insert.bind(3, *parentUuid);
        else
            insert.bindNull(3);
        insert.run();
        return uuid;
    };
    std::optional<std::string> parentUuid;
    if (!parent.empty())
        parentUuid = keywordUuid(parent, std::nullopt);
    const std::string uuid = keywordUuid(name, parentUuid);
    db_.prepare("INSERT INTO RKKeywordForVersion(versionUuid, keywordUuid, sortIndex) VALUES(?1, "
                "?2, (SELECT coalesce(max(sortIndex), -1) + 1 FROM RKKeywordForVersion WHERE "
                "versionUuid = ?1))")
        .bind(1, versionUuid)
        .bind(2, uuid)
        .run();
    transaction.commit();
}

bool LibraryPackage::deleteKeyword(const std::string& versionUuid, const std::string& keywordUuid) {
    db_.prepare("DELETE FROM RKKeywordForVersion WHERE rowid = (SELECT rowid FROM "
                "RKKeywordForVersion WHERE versionUuid = ? AND keywordUuid = ? "
                "ORDER BY sortIndex, rowid LIMIT 1)")
        .bind(1, versionUuid)
        .bind(2, keywordUuid)
        .run();
    return db_.changes() > 0;
}

std::optional<fs::path> LibraryPackage::exportVersion(const std::string& versionUuid,
                                                      const fs::path& folder, bool sidecar) {
    const auto version = versionRecord(versionUuid);
    if (!version || !version->online())
        return std::nullopt;
    const auto sidecarOf = [](const fs::path& copy) {
        return copy.parent_path() / (copy.stem().string() + ".XMP");
    };
    // Free means: neither the copy nor its sidecar is there.
    const fs::path copy = copyUnderFreeName(
        version->masterPath, folder,
        fileStemFor(version->name, version->masterPath.stem().string()),
        version->masterPath.extension().string(),
        [&](const fs::path& p) { return !fs::exists(p) && !fs::exists(sidecarOf(p)); },
        "ExportFailed");
    if (!sidecar)
        return copy;
    try {
        writeFileAtomically(sidecarOf(copy), xmpSidecar(*version, keywords(versionUuid)));
    } catch (...) {
        std::error_code ignored;
        fs::remove(copy, ignored);
        throw;
    }
    return copy;
}

} // namespace lumsift::photolib
