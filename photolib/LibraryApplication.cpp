// The photo application's stand-in: answers the scripting interface from the library package that
// `photolib open` named, found afresh at each request.
#include "photolib/LibraryApplication.h"

#include "photolib/LibraryPackage.h"
#include "platform/scripting/ApertureLibrary.h"

#include <mutex>
#include <tuple>
#include <type_traits>

#include <sys/stat.h>

namespace lumsift::photolib {
using scripting::ApertureApplication;
using scripting::ApertureImageVersion;
using scripting::ApertureKeyword;
using scripting::ApertureProject;
using scripting::kExportMetadataRKSC;
using scripting::ScriptingError;

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
        return answer([&] { return require().version(); });
    }

    std::vector<ApertureProject> projects() override {
        return answer([&] {
            std::vector<ApertureProject> projects;
            if (LibraryPackage* open = library())
                for (auto& project : open->projects())
                    projects.push_back(projectHandle(std::move(project.uuid)));
            return projects;
        });
    }

    std::vector<ApertureImageVersion> selection() override {
        return answer([&] {
            std::vector<ApertureImageVersion> versions;
            if (LibraryPackage* open = library())
                for (auto& id : open->selection())
                    versions.push_back(versionHandle(std::move(id)));
            return versions;
        });
    }

    std::vector<std::filesystem::path>
    exportVersions(const std::vector<ApertureImageVersion>& versions,
                   const std::filesystem::path& folder, uint32_t metadataCode) override {
        return answer([&] {
            LibraryPackage& open = require();
            std::vector<std::filesystem::path> copies;
            for (const auto& version : versions) {
                auto copy =
                    open.exportVersion(version.id(), folder, metadataCode == kExportMetadataRKSC);
                if (copy)
                    copies.push_back(std::move(*copy));
            }
            return copies;
        });
    }

    std::string projectName(const std::string& projectId) override {
        return answer([&] { return require().projectName(projectId).value_or(std::string()); });
    }

    std::vector<std::string> projectVersionIds(const std::string& projectId) override {
        return answer([&] { return projectTags(projectId).versionIds; });
    }

    std::vector<std::vector<std::string>> projectTagValues(const std::string& projectId) override {
        return answer([&] { return projectTags(projectId).values; });
    }

    std::vector<std::vector<std::string>> projectTagNames(const std::string& projectId) override {
        return answer([&] { return projectTags(projectId).names; });
    }

    std::string versionName(const std::string& versionId) override {
        return answer([&] {
            const auto record = require().versionRecord(versionId);
            return record ? record->name : std::string();
        });
    }

    int64_t versionHeight(const std::string& versionId) override {
        return answer([&] {
            const auto record = require().versionRecord(versionId);
            return record ? record->height : int64_t{0};
        });
    }

    bool versionOnline(const std::string& versionId) override {
        return answer([&] {
            const auto record = require().versionRecord(versionId);
            return record && record->online();
        });
    }

    std::optional<std::string> versionOtherTag(const std::string& versionId,
                                               std::string_view tagName) override {
        return answer([&]() -> std::optional<std::string> {
            if (tagName != "FileName")
                return std::nullopt;
            const auto record = require().versionRecord(versionId);
            if (!record)
                return std::nullopt;
            return record->fileName;
        });
    }

    std::vector<std::string> versionTagValues(const std::string& versionId) override {
        return answer([&] { return tagColumn(versionId, &CustomTag::value); });
    }

    std::vector<std::string> versionTagNames(const std::string& versionId) override {
        return answer([&] { return tagColumn(versionId, &CustomTag::name); });
    }

    void addCustomTag(const std::string& versionId, std::string_view name,
                      std::string_view value) override {
        answer([&] {
            ++ownWrites_; // counted first: a write that fails half-way still drops the cache
            require().setCustomTag(versionId, name, value);
        });
    }

    std::vector<ApertureKeyword> versionKeywords(const std::string& versionId) override {
        return answer([&] {
            std::vector<ApertureKeyword> keywords;
            for (auto& keyword : require().keywords(versionId))
                keywords.push_back({std::move(keyword.uuid), std::move(keyword.name),
                                    std::move(keyword.parentName)});
            return keywords;
        });
    }

    void addKeyword(const std::string& versionId, std::string_view name,
                    std::string_view parent) override {
        answer([&] {
            ++ownWrites_;
            require().addKeyword(versionId, name, parent);
        });
    }

    void deleteKeyword(const std::string& versionId, const ApertureKeyword& keyword) override {
        answer([&] {
            ++ownWrites_;
            require().deleteKeyword(versionId, keyword.uuid);
        });
    }

private:
    // Runs one request under the lock. Whatever fails is reported as the scripting interface
    // reports failures: as ScriptingError.
    template <typename Request> std::invoke_result_t<Request&> answer(Request&& request) {
        const std::lock_guard lock(mutex_);
        try {
            return request();
        } catch (const ScriptingError&) {
            throw;
        } catch (const std::exception& e) {
            throw ScriptingError("ApplicationError", e.what());
        }
    }

    // The library the setting names, opened, or kept from the last request while the setting
    // names the same package and its database is the same file; null while none is open or it
    // does not open. Caller holds mutex_.
    LibraryPackage* library() {
        const auto path = settingPath();
        struct stat status {};
        if (!path || stat(libraryDatabasePath(*path).c_str(), &status) != 0) {
            forget("no library is open");
            return nullptr;
        }
        const FileId file{status.st_dev, status.st_ino};
        if (package_ && package_->path() == *path && file == openFile_)
            return &*package_;
        forget({});
        try {
            package_.emplace(LibraryPackage::open(*path));
            openFile_ = file;
        } catch (const ScriptingError& e) {
            openError_ = e.what();
            return nullptr;
        }
        return &*package_;
    }

    // The package the setting names, read again only when the setting file is another file or
    // has changed since (photolib replaces it whole), so that a request costs a look at the
    // file rather than a read. Caller holds mutex_.
    std::optional<std::filesystem::path> settingPath() {
        struct stat status {};
        if (stat(openLibrarySettingFile().c_str(), &status) != 0) {
            setting_.reset();
            return std::nullopt;
        }
        const SettingStamp now{status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
                               status.st_mtim.tv_nsec};
        if (!setting_ || setting_->first != now)
            setting_.emplace(now, openLibraryPath());
        return setting_->second;
    }

    // Caller holds mutex_. Throws "NoLibrary" while no library is open.
    LibraryPackage& require() {
        LibraryPackage* open = library();
        if (open == nullptr)
            throw ScriptingError("NoLibrary", openError_);
        return *open;
    }

    void forget(std::string reason) {
        package_.reset();
        cached_.reset();
        openError_ = std::move(reason);
    }

    std::vector<std::string> tagColumn(const std::string& versionId,
                                       std::string CustomTag::*column) {
        std::vector<std::string> texts;
        for (auto& tag : require().customTags(versionId))
            texts.push_back(std::move(tag.*column));
        return texts;
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
    using FileId = std::pair<dev_t, ino_t>;
    using SettingStamp = std::tuple<dev_t, ino_t, off_t, time_t, long>;

    std::mutex mutex_;
    std::optional<LibraryPackage> package_;
    FileId openFile_{};
    // The setting file as last read, and the package it named.
    std::optional<std::pair<SettingStamp, std::optional<std::filesystem::path>>> setting_;
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

void registerLibraryApplication() {
    scripting::ScriptingRegistry::registerApplication(scripting::kApertureBundleIdentifier,
                                                      makeLibraryApplication);
}

} // namespace lumsift::photolib
