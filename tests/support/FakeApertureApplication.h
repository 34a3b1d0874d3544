// An in-memory photo application for tests: projects of image versions with their custom tags,
// other tags and keywords, a selection, scripted answers, injectable failures and a log of the
// requests made. Thread-safe: every operation takes the object's one lock.
#pragma once

#include "platform/scripting/Aperture.h"

#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace lumsift::scripting {

class FakeApertureApplication : public ApertureApplication {
public:
    // One keyword as assigned to a version, with the top-level keyword it sits under.
    using Keyword = ApertureKeyword;
    // What the fake knows of one image version.
    struct Version {
        std::string id;
        std::string name;
        int64_t height = 100;
        bool online = true;
        std::string projectId;
        // Custom tags in first-added order; adding a known name replaces its value in place.
        std::vector<std::pair<std::string, std::string>> customTags;
        std::map<std::string, std::string, std::less<>> otherTags;
        std::vector<Keyword> keywords;
        // The master that an export copies; empty for none.
        std::filesystem::path masterFile;
    };

    // Never null; a new application is running, has version "3.6" and no projects.
    static std::shared_ptr<FakeApertureApplication> make();

    // --- Scripting the library (not logged, never fail) ---
    // Adds a project at the end of the project list; returns its id ("P1", "P2", ... unless
    // `id` is given).
    std::string addProject(std::string name, std::string id = {});
    // Adds a version to project `projectId` (which must exist) and returns its handle. Its name
    // defaults to the id, its "FileName" other tag to "<name>.jpg".
    ApertureImageVersion addVersion(const std::string& projectId, const std::string& id,
                                    std::string name = {});
    // Sets a custom tag as the library would hold it (no log entry).
    void setCustomTag(const std::string& versionId, std::string_view name, std::string_view value) {
        edit(versionId, [&](Version& v) { setTag(v.customTags, name, value); });
    }
    void setOtherTag(const std::string& versionId, std::string_view name, std::string_view value) {
        edit(versionId, [&](Version& v) { v.otherTags[std::string(name)] = value; });
    }
    void removeOtherTag(const std::string& versionId, std::string_view name) {
        edit(versionId, [&](Version& v) { v.otherTags.erase(std::string(name)); });
    }
    void setHeight(const std::string& versionId, int64_t height) {
        edit(versionId, [&](Version& v) { v.height = height; });
    }
    void setOnline(const std::string& versionId, bool online) {
        edit(versionId, [&](Version& v) { v.online = online; });
    }
    void setVersionName(const std::string& versionId, std::string name) {
        edit(versionId, [&](Version& v) { v.name = std::move(name); });
    }
    void setMasterFile(const std::string& versionId, std::filesystem::path file) {
        edit(versionId, [&](Version& v) { v.masterFile = std::move(file); });
    }
    // Assigns a keyword directly, as a user would (no log entry).
    void assignKeyword(const std::string& versionId, std::string name, std::string parent) {
        edit(versionId, [&](Version& v) { assign(v, std::move(name), std::move(parent)); });
    }
    // The selection, in order (ids need not be in a project: such versions exist but were
    // never loaded).
    void setSelection(std::vector<std::string> versionIds);
    void setRunning(bool running) {
        locked([&] { running_ = running; });
    }
    void setVersionText(std::string text) {
        locked([&] { versionText_ = std::move(text); });
    }
    // Makes projectTagNames of `projectId` answer one list fewer than projectTagValues.
    void setTagListMismatch(const std::string& projectId, bool mismatch) {
        locked([&] { projectLocked(projectId).tagListMismatch = mismatch; });
    }
    // Export of `versionId` answers `paths` as they stand (no copy is made).
    void setExportAnswer(const std::string& versionId, std::vector<std::filesystem::path> paths) {
        locked([&] { exportAnswers_[versionId] = std::move(paths); });
    }
    // Exports also write "<copy less extension>.XMP" beside each copy they make.
    void setWriteSidecar(bool write) {
        locked([&] { writeSidecar_ = write; });
    }

    // --- Failures ---
    // The request `call` (the name used in the log, e.g. "versionTagValues") throws
    // ScriptingError("FakeFailure", ...) from now on when its first argument equals `argument`,
    // or always when `argument` is empty.
    void failOn(std::string call, std::string argument = {}) {
        failWith(std::move(call), std::move(argument),
                 std::make_exception_ptr(ScriptingError("FakeFailure", "injected failure")));
    }
    // As failOn, throwing `error` (any exception) instead.
    void failWith(std::string call, std::string argument, std::exception_ptr error) {
        locked([&] { failures_.push_back({std::move(call), std::move(argument), error}); });
    }
    // Disarms every failure armed so far.
    void clearFailures() {
        locked([&] { failures_.clear(); });
    }
    // Runs `hook` with the log entry of each later request, before the request is answered and
    // without the fake's lock (so it may wait for the test). Copies it; empty removes it.
    void setRequestHook(std::function<void(const std::string& entry)> hook) {
        locked([&] { hook_ = std::move(hook); });
    }

    // --- Inspection ---
    // Log of the requests made, e.g. "addCustomTag V1 Lumsift+ 123",
    // "addKeyword V1 Lumsift x | ZUL Lumsift", "deleteKeyword V1 Lumsift x", "versionTagValues V1",
    // "projects", "isRunning".
    std::vector<std::string> calls() const {
        return locked([&] { return calls_; });
    }
    // The entries of calls() that start with `prefix`.
    std::vector<std::string> callsStartingWith(std::string_view prefix) const;
    void clearCalls() {
        locked([&] { calls_.clear(); });
    }
    std::optional<std::string> customTag(const std::string& versionId, std::string_view name) const;
    std::vector<Keyword> keywordsOf(const std::string& versionId) const;
    ApertureImageVersion handle(const std::string& versionId) {
        edit(versionId, [](Version&) {});
        return versionHandle(versionId);
    }

    // --- ApertureApplication ---
    bool isRunning() override;
    std::string version() override;
    std::vector<ApertureProject> projects() override;
    std::vector<ApertureImageVersion> selection() override;
    std::vector<std::filesystem::path>
    exportVersions(const std::vector<ApertureImageVersion>& versions,
                   const std::filesystem::path& folder, uint32_t metadataCode) override;
    std::string projectName(const std::string& projectId) override;
    std::vector<std::string> projectVersionIds(const std::string& projectId) override;
    std::vector<std::vector<std::string>> projectTagValues(const std::string& projectId) override;
    std::vector<std::vector<std::string>> projectTagNames(const std::string& projectId) override;
    std::string versionName(const std::string& versionId) override;
    int64_t versionHeight(const std::string& versionId) override;
    bool versionOnline(const std::string& versionId) override;
    std::optional<std::string> versionOtherTag(const std::string& versionId,
                                               std::string_view tagName) override;
    std::vector<std::string> versionTagValues(const std::string& versionId) override;
    std::vector<std::string> versionTagNames(const std::string& versionId) override;
    void addCustomTag(const std::string& versionId, std::string_view name,
                      std::string_view value) override;
    std::vector<ApertureKeyword> versionKeywords(const std::string& versionId) override;
    void addKeyword(const std::string& versionId, std::string_view name,
                    std::string_view parent) override;
    void deleteKeyword(const std::string& versionId, const ApertureKeyword& keyword) override;

private:
    struct MakeToken {};

public:
    explicit FakeApertureApplication(MakeToken) {}

private:
    struct Project {
        std::string id;
        std::string name;
        std::vector<std::string> versionIds;
        bool tagListMismatch = false;
    };
    using Tags = std::vector<std::pair<std::string, std::string>>;

    template <typename Work> auto locked(Work work) const -> decltype(work()) {
        std::lock_guard lock(mutex_);
        return work();
    }
    template <typename Work> void edit(const std::string& versionId, Work work) {
        locked([&] { work(versionLocked(versionId)); });
    }
    // Logs the request "<call> <argument> <rest>" and throws when a failure is armed for it,
    // else answers what `work` returns; all under the lock.
    template <typename Work>
    auto answer(std::string_view call, std::string_view argument, Work work,
                std::string_view rest = {});
    // The version `id`, made on first use so that any id can be selected. Caller holds mutex_.
    Version& versionLocked(const std::string& id);
    Project& projectLocked(const std::string& id);
    // Caller holds mutex_.
    void assign(Version& version, std::string name, std::string parent);
    static void setTag(Tags& tags, std::string_view name, std::string_view value);
    // The names (`first`) or the values (`second`) of `tags`, in order.
    static std::vector<std::string> column(const Tags& tags, std::string Tags::value_type::*part);

    mutable std::mutex mutex_;
    std::vector<Project> projects_;
    std::map<std::string, Version, std::less<>> versions_;
    std::vector<std::string> selection_;
    bool running_ = true;
    std::string versionText_ = "3.6";
    std::map<std::string, std::vector<std::filesystem::path>, std::less<>> exportAnswers_;
    bool writeSidecar_ = false;
    struct Failure {
        std::string call;
        std::string argument;
        std::exception_ptr error;
    };
    std::vector<Failure> failures_;
    std::function<void(const std::string&)> hook_;
    std::vector<std::string> calls_;
    uint64_t nextKeywordUuid_ = 1;
};

} // namespace lumsift::scripting
