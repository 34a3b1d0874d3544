// What the package holds, as photolib and the photo application's stand-in read it: projects,
// versions with their masters, the selection, custom tags and keywords.
#include "photolib/LibraryPackage.h"

#include "photolib/PackageRows.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace lumsift::photolib {
namespace fs = std::filesystem;

bool VersionRecord::online() const {
    std::error_code error;
    return fs::is_regular_file(masterPath, error);
}

std::string LibraryPackage::version() {
    auto query = db_.prepare("SELECT value FROM RKProperty WHERE key = 'version'");
    return query.step() ? query.text(0) : std::string();
}

int64_t LibraryPackage::dataVersion() {
    auto query = db_.prepare("PRAGMA data_version");
    query.step();
    return query.integer(0);
}

std::vector<ProjectRecord> LibraryPackage::projects() {
    auto query = db_.prepare(
        "SELECT uuid, name FROM RKFolder WHERE folderType = ? ORDER BY sortIndex, rowid");
    query.bind(1, kProjectFolderType);
    std::vector<ProjectRecord> projects;
    while (query.step())
        projects.push_back({query.text(0), query.text(1)});
    return projects;
}

std::optional<std::string> LibraryPackage::projectName(const std::string& projectUuid) {
    auto query = db_.prepare("SELECT name FROM RKFolder WHERE uuid = ? AND folderType = ?");
    query.bind(1, projectUuid).bind(2, kProjectFolderType);
    if (!query.step())
        return std::nullopt;
    return query.text(0);
}

std::vector<VersionRecord> LibraryPackage::versions(const std::optional<std::string>& projectUuid) {
    std::vector<VersionRecord> result;
    if (projectUuid) {
        auto query =
            db_.prepare(versionColumns() + "WHERE v.projectUuid = ? ORDER BY v.sortIndex, v.rowid");
        query.bind(1, *projectUuid);
        while (query.step())
            result.push_back(versionFromRow(path_, query));
        return result;
    }
    for (const auto& project : projects()) {
        auto some = versions(project.uuid);
        std::move(some.begin(), some.end(), std::back_inserter(result));
    }
    return result;
}

std::optional<VersionRecord> LibraryPackage::versionRecord(const std::string& uuid) {
    // Never destroyed, as versionColumns(): engine threads may still ask while the process exits.
    static const std::string& sql = *new std::string(versionColumns() + "WHERE v.uuid = ?");
    const KeptStatement query = kept(sql);
    query->bind(1, uuid);
    if (!query->step())
        return std::nullopt;
    return versionFromRow(path_, *query);
}

ProjectTags LibraryPackage::projectTags(const std::string& projectUuid) {
    // One pass over the project's versions joined with their tags, in the project's order and
    // each version's tags in the order they were first added.
    auto query = db_.prepare(
        "SELECT v.uuid, t.value, t.name FROM RKVersion v "
        "LEFT JOIN RKCustomTag t INDEXED BY RKCustomTag_version ON t.versionUuid = v.uuid "
        "WHERE v.projectUuid = ? ORDER BY v.sortIndex, v.rowid, t.rowid");
    query.bind(1, projectUuid);
    ProjectTags tags;
    while (query.step()) {
        const std::string_view id = query.textView(0);
        if (tags.versionIds.empty() || tags.versionIds.back() != id) {
            tags.versionIds.emplace_back(id);
            tags.values.emplace_back();
            tags.names.emplace_back();
        }
        if (query.isNull(2))
            continue;
        tags.values.back().emplace_back(query.textView(1));
        tags.names.back().emplace_back(query.textView(2));
    }
    return tags;
}

std::vector<std::string> LibraryPackage::selection() {
    auto query = db_.prepare("SELECT s.versionUuid FROM RKSelection s JOIN RKVersion v ON v.uuid = "
                             "s.versionUuid ORDER BY s.sortIndex, s.rowid");
    std::vector<std::string> ids;
    while (query.step())
        ids.push_back(query.text(0));
    return ids;
}

std::vector<CustomTag> LibraryPackage::customTags(const std::string& versionUuid) {
    auto query =
        db_.prepare("SELECT name, value FROM RKCustomTag WHERE versionUuid = ? ORDER BY rowid");
    query.bind(1, versionUuid);
    std::vector<CustomTag> tags;
    while (query.step())
        tags.push_back({query.text(0), query.text(1)});
    return tags;
}

std::vector<KeywordRecord> LibraryPackage::keywords(const std::string& versionUuid) {
    auto query =
        db_.prepare("SELECT k.uuid, k.name, coalesce(p.name, '') FROM RKKeywordForVersion a "
                    "JOIN RKKeyword k ON k.uuid = a.keywordUuid LEFT JOIN RKKeyword p ON p.uuid = "
                    "k.parentUuid WHERE a.versionUuid = ? ORDER BY a.sortIndex, a.rowid");
    query.bind(1, versionUuid);
    std::vector<KeywordRecord> keywords;
    while (query.step())
        keywords.push_back({query.text(0), query.text(1), query.text(2)});
    return keywords;
}

std::vector<std::string> LibraryPackage::keywordNames(std::string_view parent) {
    auto query = db_.prepare("SELECT k.name FROM RKKeyword k JOIN RKKeyword p ON p.uuid = "
                             "k.parentUuid WHERE p.name = ? AND p.parentUuid IS NULL "
                             "ORDER BY k.rowid");
    query.bind(1, parent);
    std::vector<std::string> names;
    while (query.step())
        if (std::find(names.begin(), names.end(), query.textView(0)) == names.end())
            names.emplace_back(query.textView(0));
    return names;
}

std::vector<VersionRecord> LibraryPackage::versionsWithKeyword(std::string_view name,
                                                               std::string_view parent) {
    auto query = db_.prepare(
        versionColumns() +
        "LEFT JOIN RKFolder f ON f.uuid = v.projectUuid WHERE v.uuid IN (SELECT a.versionUuid "
        "FROM RKKeywordForVersion a JOIN RKKeyword k ON k.uuid = a.keywordUuid LEFT JOIN "
        "RKKeyword p ON p.uuid = k.parentUuid WHERE k.name = ?1 AND (?2 = '' OR p.name = ?2)) "
        "ORDER BY f.sortIndex, f.rowid, v.sortIndex, v.rowid");
    query.bind(1, name).bind(2, parent);
    std::vector<VersionRecord> found;
    while (query.step())
        found.push_back(versionFromRow(path_, query));
    return found;
}

} // namespace lumsift::photolib
