// The in-memory photo application for tests.
#include "tests/support/FakeApertureApplication.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace lumsift::scripting {

std::shared_ptr<FakeApertureApplication> FakeApertureApplication::make() {
    return std::make_shared<FakeApertureApplication>(MakeToken{});
}

// --- Scripting the library ---

std::string FakeApertureApplication::addProject(std::string name, std::string id) {
    std::lock_guard lock(mutex_);
    if (id.empty())
        id = std::string("P").append(std::to_string(projects_.size() + 1));
    projects_.push_back(Project{id, std::move(name), {}, false});
    return id;
}

ApertureImageVersion FakeApertureApplication::addVersion(const std::string& projectId,
                                                         const std::string& id, std::string name) {
    {
        std::lock_guard lock(mutex_);
        Project& project = projectLocked(projectId);
        project.versionIds.push_back(id);
        Version& version = versionLocked(id);
        version.projectId = projectId;
        if (!name.empty())
            version.name = std::move(name);
        version.otherTags["FileName"] = version.name + ".jpg";
    }
    return versionHandle(id);
}

void FakeApertureApplication::setCustomTag(const std::string& versionId, std::string_view name,
                                           std::string_view value) {
    std::lock_guard lock(mutex_);
    setTag(versionLocked(versionId).customTags, name, value);
}

void FakeApertureApplication::setOtherTag(const std::string& versionId, std::string_view name,
                                          std::string_view value) {
    std::lock_guard lock(mutex_);
    versionLocked(versionId).otherTags[std::string(name)] = std::string(value);
}

void FakeApertureApplication::removeOtherTag(const std::string& versionId, std::string_view name) {
    std::lock_guard lock(mutex_);
    auto& tags = versionLocked(versionId).otherTags;
    if (const auto it = tags.find(name); it != tags.end())
        tags.erase(it);
}

void FakeApertureApplication::setHeight(const std::string& versionId, int64_t height) {
    std::lock_guard lock(mutex_);
    versionLocked(versionId).height = height;
}

void FakeApertureApplication::setOnline(const std::string& versionId, bool online) {
    std::lock_guard lock(mutex_);
    versionLocked(versionId).online = online;
}

void FakeApertureApplication::setVersionName(const std::string& versionId, std::string name) {
    std::lock_guard lock(mutex_);
    versionLocked(versionId).name = std::move(name);
}

void FakeApertureApplication::setMasterFile(const std::string& versionId,
                                            std::filesystem::path file) {
    std::lock_guard lock(mutex_);
    versionLocked(versionId).masterFile = std::move(file);
}

void FakeApertureApplication::assignKeyword(const std::string& versionId, std::string name,
                                            std::string parent) {
    std::lock_guard lock(mutex_);
    versionLocked(versionId).keywords.push_back(
        Keyword{std::string("K").append(std::to_string(nextKeywordUuid_++)), std::move(name),
                std::move(parent)});
}

void FakeApertureApplication::setSelection(std::vector<std::string> versionIds) {
    std::lock_guard lock(mutex_);
    for (const auto& id : versionIds)
        versionLocked(id);
    selection_ = std::move(versionIds);
}

void FakeApertureApplication::setRunning(bool running) {
    std::lock_guard lock(mutex_);
    running_ = running;
}

void FakeApertureApplication::setVersionText(std::string text) {
    std::lock_guard lock(mutex_);
    versionText_ = std::move(text);
}

void FakeApertureApplication::setTagListMismatch(const std::string& projectId, bool mismatch) {
    std::lock_guard lock(mutex_);
    projectLocked(projectId).tagListMismatch = mismatch;
}

void FakeApertureApplication::setExportAnswer(const std::string& versionId,
                                              std::vector<std::filesystem::path> paths) {
    std::lock_guard lock(mutex_);
    exportAnswers_[versionId] = std::move(paths);
}

void FakeApertureApplication::setWriteSidecar(bool write) {
    std::lock_guard lock(mutex_);
    writeSidecar_ = write;
}

// --- Failures ---

void FakeApertureApplication::failOn(std::string call, std::string argument) {
    std::lock_guard lock(mutex_);
    failures_.push_back(Failure{std::move(call), std::move(argument)});
}

// --- Inspection ---

std::vector<std::string> FakeApertureApplication::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeApertureApplication::callsStartingWith(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto& call : calls_)
        if (std::string_view(call).starts_with(prefix))
            found.push_back(call);
    return found;
}

void FakeApertureApplication::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::optional<std::string> FakeApertureApplication::customTag(const std::string& versionId,
                                                              std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = versions_.find(versionId);
    if (it == versions_.end())
        return std::nullopt;
    for (const auto& [tagName, value] : it->second.customTags)
        if (tagName == name)
            return value;
    return std::nullopt;
}

std::vector<FakeApertureApplication::Keyword>
FakeApertureApplication::keywordsOf(const std::string& versionId) const {
    std::lock_guard lock(mutex_);
    const auto it = versions_.find(versionId);
    if (it == versions_.end())
        return {};
    return it->second.keywords;
}

ApertureImageVersion FakeApertureApplication::handle(const std::string& versionId) {
    {
        std::lock_guard lock(mutex_);
        versionLocked(versionId);
    }
    return versionHandle(versionId);
}

// --- ApertureApplication ---

bool FakeApertureApplication::isRunning() {
    std::lock_guard lock(mutex_);
    calls_.emplace_back("isRunning");
    return running_;
}

std::string FakeApertureApplication::version() {
    std::lock_guard lock(mutex_);
    request("version");
    return versionText_;
}

std::vector<ApertureProject> FakeApertureApplication::projects() {
    std::vector<std::string> ids;
    {
        std::lock_guard lock(mutex_);
        request("projects");
        for (const auto& project : projects_)
            ids.push_back(project.id);
    }
    std::vector<ApertureProject> result;
    for (auto& id : ids)
        result.push_back(projectHandle(std::move(id)));
    return result;
}

std::vector<ApertureImageVersion> FakeApertureApplication::selection() {
    std::vector<std::string> ids;
    {
        std::lock_guard lock(mutex_);
        request("selection");
        ids = selection_;
    }
    std::vector<ApertureImageVersion> result;
    for (auto& id : ids)
        result.push_back(versionHandle(std::move(id)));
    return result;
}

std::vector<std::filesystem::path>
FakeApertureApplication::exportVersions(const std::vector<ApertureImageVersion>& versions,
                                        const std::filesystem::path& folder,
                                        uint32_t metadataCode) {
    std::lock_guard lock(mutex_);
    std::vector<std::filesystem::path> exported;
    for (const auto& handle : versions) {
        request("exportVersions", handle.id(), std::to_string(metadataCode));
        if (const auto it = exportAnswers_.find(handle.id()); it != exportAnswers_.end()) {
            exported.insert(exported.end(), it->second.begin(), it->second.end());
            continue;
        }
        const Version& version = versionLocked(handle.id());
        if (version.masterFile.empty())
            continue;
        const auto copy = folder / version.masterFile.filename();
        std::error_code error;
        std::filesystem::copy_file(version.masterFile, copy,
                                   std::filesystem::copy_options::overwrite_existing, error);
        if (error)
            continue;
        if (writeSidecar_) {
            auto sidecar = copy;
            sidecar.replace_extension(".XMP");
            std::ofstream(sidecar) << "<x:xmpmeta/>\n";
        }
        exported.push_back(copy);
    }
    return exported;
}

std::string FakeApertureApplication::projectName(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    request("projectName", projectId);
    return projectLocked(projectId).name;
}

std::vector<std::string> FakeApertureApplication::projectVersionIds(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    request("projectVersionIds", projectId);
    return projectLocked(projectId).versionIds;
}

std::vector<std::vector<std::string>>
FakeApertureApplication::projectTagValues(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    request("projectTagValues", projectId);
    std::vector<std::vector<std::string>> values;
    for (const auto& id : projectLocked(projectId).versionIds) {
        auto& entry = values.emplace_back();
        for (const auto& tag : versionLocked(id).customTags)
            entry.push_back(tag.second);
    }
    return values;
}

std::vector<std::vector<std::string>>
FakeApertureApplication::projectTagNames(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    request("projectTagNames", projectId);
    const Project& project = projectLocked(projectId);
    std::vector<std::vector<std::string>> names;
    for (const auto& id : project.versionIds) {
        auto& entry = names.emplace_back();
        for (const auto& tag : versionLocked(id).customTags)
            entry.push_back(tag.first);
    }
    if (project.tagListMismatch && !names.empty())
        names.pop_back();
    else if (project.tagListMismatch)
        names.emplace_back();
    return names;
}

std::string FakeApertureApplication::versionName(const std::string& versionId) {
    std::lock_guard lock(mutex_);
    request("versionName", versionId);
    return versionLocked(versionId).name;
}

int64_t FakeApertureApplication::versionHeight(const std::string& versionId) {
    std::lock_guard lock(mutex_);
    request("versionHeight", versionId);
    return versionLocked(versionId).height;
}

bool FakeApertureApplication::versionOnline(const std::string& versionId) {
    std::lock_guard lock(mutex_);
    request("versionOnline", versionId);
    return versionLocked(versionId).online;
}

std::optional<std::string> FakeApertureApplication::versionOtherTag(const std::string& versionId,
                                                                    std::string_view tagName) {
    std::lock_guard lock(mutex_);
    request("versionOtherTag", versionId, tagName);
    const auto& tags = versionLocked(versionId).otherTags;
    const auto it = tags.find(tagName);
    if (it == tags.end())
        return std::nullopt;
    return it->second;
}

std::vector<std::string> FakeApertureApplication::versionTagValues(const std::string& versionId) {
    std::lock_guard lock(mutex_);
    request("versionTagValues", versionId);
    std::vector<std::string> values;
    for (const auto& tag : versionLocked(versionId).customTags)
        values.push_back(tag.second);
    return values;
}

std::vector<std::string> FakeApertureApplication::versionTagNames(const std::string& versionId) {
    std::lock_guard lock(mutex_);
    request("versionTagNames", versionId);
    std::vector<std::string> names;
    for (const auto& tag : versionLocked(versionId).customTags)
        names.push_back(tag.first);
    return names;
}

void FakeApertureApplication::addCustomTag(const std::string& versionId, std::string_view name,
                                           std::string_view value) {
    std::lock_guard lock(mutex_);
    request("addCustomTag", versionId, std::string(name) + " " + std::string(value));
    setTag(versionLocked(versionId).customTags, name, value);
}

std::vector<ApertureKeyword>
FakeApertureApplication::versionKeywords(const std::string& versionId) {
    std::lock_guard lock(mutex_);
    request("versionKeywords", versionId);
    std::vector<ApertureKeyword> keywords;
    for (const auto& keyword : versionLocked(versionId).keywords)
        keywords.push_back(ApertureKeyword{keyword.uuid, keyword.name});
    return keywords;
}

void FakeApertureApplication::addKeyword(const std::string& versionId, std::string_view name,
                                         std::string_view parent) {
    std::lock_guard lock(mutex_);
    request("addKeyword", versionId, std::string(name) + " | " + std::string(parent));
    versionLocked(versionId).keywords.push_back(
        Keyword{std::string("K").append(std::to_string(nextKeywordUuid_++)), std::string(name),
                std::string(parent)});
}

void FakeApertureApplication::deleteKeyword(const std::string& versionId,
                                            const ApertureKeyword& keyword) {
    std::lock_guard lock(mutex_);
    request("deleteKeyword", versionId, keyword.name);
    auto& keywords = versionLocked(versionId).keywords;
    const auto it = std::find_if(keywords.begin(), keywords.end(),
                                 [&](const Keyword& k) { return k.uuid == keyword.uuid; });
    if (it != keywords.end())
        keywords.erase(it);
}

// --- Internals ---

void FakeApertureApplication::request(std::string_view call, std::string_view argument,
                                      std::string_view rest) {
    std::string entry(call);
    if (!argument.empty())
        entry.append(" ").append(argument);
    if (!rest.empty())
        entry.append(" ").append(rest);
    calls_.push_back(entry);
    for (const auto& failure : failures_) {
        if (failure.call == call && (failure.argument.empty() || failure.argument == argument))
            throw ScriptingError("FakeFailure", "injected failure of " + entry);
    }
}

FakeApertureApplication::Version& FakeApertureApplication::versionLocked(const std::string& id) {
    auto [it, inserted] = versions_.try_emplace(id);
    if (inserted) {
        it->second.id = id;
        it->second.name = id;
    }
    return it->second;
}

FakeApertureApplication::Project& FakeApertureApplication::projectLocked(const std::string& id) {
    const auto it = std::find_if(projects_.begin(), projects_.end(),
                                 [&](const Project& p) { return p.id == id; });
    if (it == projects_.end())
        throw ScriptingError("NoSuchProject", "no project " + id);
    return *it;
}

void FakeApertureApplication::setTag(std::vector<std::pair<std::string, std::string>>& tags,
                                     std::string_view name, std::string_view value) {
    for (auto& tag : tags) {
        if (tag.first == name) {
            tag.second = std::string(value);
            return;
        }
    }
    tags.emplace_back(std::string(name), std::string(value));
}

} // namespace lumsift::scripting
