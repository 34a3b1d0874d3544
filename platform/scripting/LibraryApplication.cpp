// The photo application's stand-in: answers the scripting interface from the library package that
// `photolib open` named, found afresh at each request.
#include "platform/scripting/LibraryApplication.h"

#include "platform/scripting/LibraryPackage.h"

#include <map>
#include <mutex>

namespace lumsift::scripting {
namespace {

class LibraryApplication final : public ApertureApplication {
public:
    bool isRunning() override {
        try {
            const std::lock_guard lock(mutex_);
            return library() != nullptr;
        } catch (...) {
            return false;
        }
    }

    std::string version() override {
        const std::lock_guard lock(mutex_);
        return require().version();
    }

    std::vector<ApertureProject> projects() override {
        const std::lock_guard lock(mutex_);
        LibraryPackage* open = library();
        if (open == nullptr)
            return {};
        std::vector<ApertureProject> projects;
        for (auto& project : open->projects())
            projects.push_back(projectHandle(std::move(project.uuid)));
        return projects;
    }

    std::vector<ApertureImageVersion> selection() override {
        const std::lock_guard lock(mutex_);
        LibraryPackage* open = library();
        if (open == nullptr)
            return {};
        std::vector<ApertureImageVersion> versions;
        for (auto& id : open->selection())
            versions.push_back(versionHandle(std::move(id)));
        return versions;
    }

    std::vector<std::filesystem::path>
    exportVersions(const std::vector<ApertureImageVersion>& versions,
                   const std::filesystem::path& folder, uint32_t metadataCode) override {
        const std::lock_guard lock(mutex_);
        LibraryPackage& open = require();
        std::vector<std::filesystem::path> copies;
        for (const auto& version : versions) {
            auto copy =
                open.exportVersion(version.id(), folder, metadataCode == kExportMetadataRKSC);
            if (copy)
                copies.push_back(std::move(*copy));
        }
        return copies;
    }

    std::string projectName(const std::string& projectId) override {
        const std::lock_guard lock(mutex_);
        return require().projectName(projectId).value_or(std::string());
    }

    std::vector<std::string> projectVersionIds(const std::string& projectId) override {
        const std::lock_guard lock(mutex_);
        return projectTags(projectId).versionIds;
    }

    std::vector<std::vector<std::string>> projectTagValues(const std::string& projectId) override {
        const std::lock_guard lock(mutex_);
        return projectTags(projectId).values;
    }

    std::vector<std::vector<std::string>> projectTagNames(const std::string& projectId) override {
        const std::lock_guard lock(mutex_);
        return projectTags(projectId).names;
    }

    std::string versionName(const std::string& versionId) override {
        const std::lock_guard lock(mutex_);
        const auto record = require().versionRecord(versionId);
        return record ? record->name : std::string();
    }

    int64_t versionHeight(const std::string& versionId) override {
        const std::lock_guard lock(mutex_);
        const auto record = require().versionRecord(versionId);
        return record ? record->height : 0;
    }

    bool versionOnline(const std::string& versionId) override {
        const std::lock_guard lock(mutex_);
        const auto record = require().versionRecord(versionId);
        std::error_code error;
        return record && !record->masterPath.empty() &&
               std::filesystem::is_regular_file(record->masterPath, error);
    }

    std::optional<std::string> versionOtherTag(const std::string& versionId,
                                               std::string_view tagName) override {
        const std::lock_guard lock(mutex_);
        if (tagName != "FileName")
            return std::nullopt;
        const auto record = require().versionRecord(versionId);
        if (!record)
            return std::nullopt;
        return record->fileName;
    }

    std::vector<std::string> versionTagValues(const std::string& versionId) override {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> values;
        for (auto& tag : require().customTags(versionId))
            values.push_back(std::move(tag.value));
        return values;
    }

    std::vector<std::string> versionTagNames(const std::string& versionId) override {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> names;
        for (auto& tag : require().customTags(versionId))
            names.push_back(std::move(tag.name));
        return names;
    }

    void addCustomTag(const std::string& versionId, std::string_view name,
                      std::string_view value) override {
        const std::lock_guard lock(mutex_);
        require().setCustomTag(versionId, name, value);
        ++ownWrites_;
    }

    std::vector<ApertureKeyword> versionKeywords(const std::string& versionId) override {
        const std::lock_guard lock(mutex_);
        std::vector<ApertureKeyword> keywords;
        for (auto& keyword : require().keywords(versionId))
            keywords.push_back({std::move(keyword.uuid), std::move(keyword.name)});
        return keywords;
    }

    void addKeyword(const std::string& versionId, std::string_view name,
                    std::string_view parent) override {
        const std::lock_guard lock(mutex_);
        require().addKeyword(versionId, name, parent);
        ++ownWrites_;
    }

    void deleteKeyword(const std::string& versionId, const ApertureKeyword& keyword) override {
        const std::lock_guard lock(mutex_);
        require().deleteKeyword(versionId, keyword.uuid);
        ++ownWrites_;
    }

private:
    // The library the setting names, opened (or kept from the last request while the setting
    // and the database file are unchanged); null while none is open or it does not open.
    // Caller holds mutex_.
    LibraryPackage* library() {
        const auto path = openLibraryPath();
        std::error_code error;
        if (!path || !std::filesystem::exists(libraryDatabasePath(*path), error)) {
            forget(path ? *path : std::filesystem::path(), "no library is open");
            return nullptr;
        }
        if (package_ && package_->path() == *path)
            return &*package_;
        forget(*path, {});
        try {
            package_.emplace(LibraryPackage::open(*path));
        } catch (const ScriptingError& e) {
            openError_ = e.what();
            return nullptr;
        }
        return &*package_;
    }

    // Caller holds mutex_. Throws "NoLibrary" while no library is open.
    LibraryPackage& require() {
        LibraryPackage* open = library();
        if (open == nullptr)
            throw ScriptingError("NoLibrary", openError_);
        return *open;
    }

    void forget(const std::filesystem::path& path, std::string reason) {
        if (package_ && package_->path() != path)
            package_.reset();
        cached_.reset();
        openError_ = std::move(reason);
    }

    // The library load asks for ids, tag values and tag names of a project in three requests;
    // one query answers all three, kept while no connection has written since.
    // Caller holds mutex_.
    const ProjectTags& projectTags(const std::string& projectId) {
        LibraryPackage& open = require();
        const Generation now{open.dataVersion(), ownWrites_};
        if (!cached_ || cachedProject_ != projectId || cachedGeneration_ != now) {
            cached_ = open.projectTags(projectId);
            cachedProject_ = projectId;
            cachedGeneration_ = now;
        }
        return *cached_;
    }

    using Generation = std::pair<int64_t, uint64_t>;

    std::mutex mutex_;
    std::optional<LibraryPackage> package_;
    std::string openError_ = "no library is open";
    uint64_t ownWrites_ = 0;
    std::optional<ProjectTags> cached_;
    std::string cachedProject_;
    Generation cachedGeneration_;
};

} // namespace

std::shared_ptr<ApertureApplication> makeLibraryApplication() {
    return std::make_shared<LibraryApplication>();
}

} // namespace lumsift::scripting
