// The photo application's scripting interface: the application, its projects, image versions,
// custom tags and keywords. An image version or a project is a light handle (the application and
// an identifier); every property is asked of the application when it is read, as a scripting
// reference is. Calls may come from any thread at once.
//
// Failure: a request the application cannot answer (no library open, its database locked or
// gone) throws ScriptingError. Callers that must go on catch it; the rest let it pass.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::scripting {

// A request to the photo application failed. `name()` is a short kind ("LibraryLocked",
// "NoLibrary", ...), `what()` the application's message.
class ScriptingError : public std::runtime_error {
public:
    ScriptingError(std::string name, const std::string& reason)
        : std::runtime_error(reason), name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    std::string reason() const { return what(); }

private:
    std::string name_;
};

class ApertureApplication;

// One keyword as assigned to one image version: the keyword object's identifier, its name and
// the name of the keyword it sits under (empty for a top-level keyword).
struct ApertureKeyword {
    std::string uuid;
    std::string name;
    std::string parent;
};

// Light handle of an image version. Copies share the application. The `id` is unique and stable
// and equals the version's uuid in the library database.
class ApertureImageVersion {
public:
    ApertureImageVersion() = default;
    ApertureImageVersion(std::shared_ptr<ApertureApplication> app, std::string id)
        : app_(std::move(app)), id_(std::move(id)) {}

    const std::string& id() const { return id_; }
    const std::shared_ptr<ApertureApplication>& application() const { return app_; }

    // Each of these is one request to the application.
    std::string name() const;
    int64_t height() const;
    bool online() const;
    // The value of the other tag `tagName` ("FileName": the master's file name); nullopt when
    // the version has no such tag.
    std::optional<std::string> otherTagValue(std::string_view tagName) const;
    // The values and the names of the version's custom tags: two requests, two lists, value i
    // belonging to name i.
    std::vector<std::string> customTagValues() const;
    std::vector<std::string> customTagNames() const;
    // Adds a custom tag; a tag of that name already on the version gets the new value instead.
    void addCustomTag(std::string_view name, std::string_view value) const;
    // The keywords assigned to the version, in the order they were assigned.
    std::vector<ApertureKeyword> keywords() const;
    // Assigns the keyword `name` under the top-level keyword `parent` (both made when missing).
    void addKeyword(std::string_view name, std::string_view parent) const;
    // Removes one assignment of `keyword` (as returned by keywords()) from this version.
    void deleteKeyword(const ApertureKeyword& keyword) const;

    friend bool operator==(const ApertureImageVersion& a, const ApertureImageVersion& b) {
        return a.id_ == b.id_ && a.app_ == b.app_;
    }

private:
    std::shared_ptr<ApertureApplication> app_;
    std::string id_;
};

// Light handle of a project (a folder of versions in the library).
class ApertureProject {
public:
    ApertureProject() = default;
    ApertureProject(std::shared_ptr<ApertureApplication> app, std::string id)
        : app_(std::move(app)), id_(std::move(id)) {}
    const std::string& id() const { return id_; }
    std::string name() const;
    // The project's image versions in the project's order (one request: their ids).
    std::vector<ApertureImageVersion> imageVersions() const;
    // Bulk reads for the library load, one request each: for every version of the project (in
    // the order of imageVersions()), the list of its custom-tag values, resp. names.
    std::vector<std::vector<std::string>> customTagValues() const;
    std::vector<std::vector<std::string>> customTagNames() const;

private:
    std::shared_ptr<ApertureApplication> app_;
    std::string id_;
};

// The photo application. Implementations register a factory with the ScriptingRegistry; every
// operation is one request.
class ApertureApplication : public std::enable_shared_from_this<ApertureApplication> {
public:
    virtual ~ApertureApplication() = default;

    // A library is open. Never throws.
    virtual bool isRunning() = 0;
    virtual std::string version() = 0;
    // Projects in a stable order; empty while nothing is open.
    virtual std::vector<ApertureProject> projects() = 0;
    // The current selection in the order the user made it; empty while nothing is open.
    virtual std::vector<ApertureImageVersion> selection() = 0;

    // Export with metadata option `metadataCode` ('rksc'): copies each version's master into
    // `folder` and answers the copies' paths (empty when nothing was exported).
    virtual std::vector<std::filesystem::path>
    exportVersions(const std::vector<ApertureImageVersion>& versions,
                   const std::filesystem::path& folder, uint32_t metadataCode) = 0;

    // What the handles forward to.
    virtual std::string projectName(const std::string& projectId) = 0;
    virtual std::vector<std::string> projectVersionIds(const std::string& projectId) = 0;
    virtual std::vector<std::vector<std::string>> projectTagValues(const std::string& projectId) = 0;
    virtual std::vector<std::vector<std::string>> projectTagNames(const std::string& projectId) = 0;
    virtual std::string versionName(const std::string& versionId) = 0;
    virtual int64_t versionHeight(const std::string& versionId) = 0;
    virtual bool versionOnline(const std::string& versionId) = 0;
    virtual std::optional<std::string> versionOtherTag(const std::string& versionId,
                                                       std::string_view tagName) = 0;
    virtual std::vector<std::string> versionTagValues(const std::string& versionId) = 0;
    virtual std::vector<std::string> versionTagNames(const std::string& versionId) = 0;
    virtual void addCustomTag(const std::string& versionId, std::string_view name,
                              std::string_view value) = 0;
    virtual std::vector<ApertureKeyword> versionKeywords(const std::string& versionId) = 0;
    virtual void addKeyword(const std::string& versionId, std::string_view name,
                            std::string_view parent) = 0;
    virtual void deleteKeyword(const std::string& versionId, const ApertureKeyword& keyword) = 0;

protected:
    // Handles made by implementations share ownership of the application.
    ApertureImageVersion versionHandle(std::string id) {
        return ApertureImageVersion(shared_from_this(), std::move(id));
    }
    ApertureProject projectHandle(std::string id) {
        return ApertureProject(shared_from_this(), std::move(id));
    }
};

// The export option that asks for the master with an XMP sidecar.
constexpr uint32_t kExportMetadataRKSC = 0x726b7363; // 'rksc'

// The applications by bundle identifier, as their implementations registered them: the
// application's start-up registers the photo application it works with, tests register fakes.
class ScriptingRegistry {
public:
    using Factory = std::function<std::shared_ptr<ApertureApplication>()>;
    // Makes (does not start) the application for `bundleIdentifier`; null when none is known.
    static std::shared_ptr<ApertureApplication>
    applicationWithBundleIdentifier(std::string_view bundleIdentifier);
    // Registers `factory` for `bundleIdentifier`, replacing any earlier one. Copies it.
    static void registerApplication(std::string_view bundleIdentifier, Factory factory);
};

} // namespace lumsift::scripting
