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
    return locked([&] {
        if (id.empty())
            id = std::string("P").append(std::to_string(projects_.size() + 1));
        projects_.push_back(Project{id, std::move(name), {}, false});
        return id;
    });
}

ApertureImageVersion FakeApertureApplication::addVersion(const std::string& projectId,
                                                         const std::string& id, std::string name) {
    locked([&] {
        projectLocked(projectId).versionIds.push_back(id);
        Version& version = versionLocked(id);
        version.projectId = projectId;
        if (!name.empty())
            version.name = std::move(name);
        version.otherTags["FileName"] = version.name + ".jpg";
    });
    return versionHandle(id);
}

void FakeApertureApplication::setSelection(std::vector<std::string> versionIds) {
    locked([&] {
        for (const auto& id : versionIds)
            versionLocked(id);
        selection_ = std::move(versionIds);
    });
}

// --- Inspection ---

std::vector<std::string> FakeApertureApplication::callsStartingWith(std::string_view prefix) const {
    std::vector<std::string> found = calls();
    std::erase_if(found, [&](const std::string& call) { return !call.starts_with(prefix); });
    return found;
}

std::optional<std::string> FakeApertureApplication::customTag(const std::string& versionId,
                                                              std::string_view name) const {
    return locked([&]() -> std::optional<std::string> {
        const auto it = versions_.find(versionId);
        if (it == versions_.end())
            return std::nullopt;
        for (const auto& [tagName, value] : it->second.customTags)
            if (tagName == name)
                return value;
        return std::nullopt;
    });
}

std::vector<FakeApertureApplication::Keyword>
FakeApertureApplication::keywordsOf(const std::string& versionId) const {
    return locked([&]() -> std::vector<Keyword> {
        const auto it = versions_.find(versionId);
        return it == versions_.end() ? std::vector<Keyword>{} : it->second.keywords;
    });
}

// --- ApertureApplication ---

template <typename Work>
auto FakeApertureApplication::answer(std::string_view call, std::string_view argument, Work work,
                                     std::string_view rest) {
    std::string entry(call);
    for (const std::string_view part : {argument, rest})
        if (!part.empty())
            entry.append(" ").append(part);
    if (const auto hook = locked([&] { return hook_; }))
        hook(entry);
    std::lock_guard lock(mutex_);
    calls_.push_back(entry);
    for (const Failure& failure : failures_) {
        if (failure.call != call || (!failure.argument.empty() && failure.argument != argument))
            continue;
        try {
            std::rethrow_exception(failure.error);
        } catch (const ScriptingError& error) {
            throw ScriptingError(error.name(), std::string(error.what()) + " of " + entry);
        }
    }
    return work();
}

bool FakeApertureApplication::isRunning() {
    return locked([&] { // never fails
        calls_.emplace_back("isRunning");
        return running_;
    });
}

std::string FakeApertureApplication::version() {
    return answer("version", {}, [&] { return versionText_; });
}

std::vector<ApertureProject> FakeApertureApplication::projects() {
    std::vector<ApertureProject> result;
    for (auto& id : answer("projects", {}, [&] {
             std::vector<std::string> ids;
             for (const auto& project : projects_)
                 ids.push_back(project.id);
             return ids;
         }))
        result.push_back(projectHandle(std::move(id)));
    return result;
}

std::vector<ApertureImageVersion> FakeApertureApplication::selection() {
    std::vector<ApertureImageVersion> result;
    for (auto& id : answer("selection", {}, [&] { return selection_; }))
        result.push_back(versionHandle(std::move(id)));
    return result;
}

std::vector<std::filesystem::path>
FakeApertureApplication::exportVersions(const std::vector<ApertureImageVersion>& versions,
                                        const std::filesystem::path& folder,
                                        uint32_t metadataCode) {
    std::vector<std::filesystem::path> exported;
    for (const auto& handle : versions) {
        answer(
            "exportVersions", handle.id(),
            [&] {
                if (const auto it = exportAnswers_.find(handle.id()); it != exportAnswers_.end()) {
                    exported.insert(exported.end(), it->second.begin(), it->second.end());
                    return;
                }
                const Version& version = versionLocked(handle.id());
                if (version.masterFile.empty())
                    return;
                const auto copy = folder / version.masterFile.filename();
                std::error_code error;
                std::filesystem::copy_file(version.masterFile, copy,
                                           std::filesystem::copy_options::overwrite_existing,
                                           error);
                if (error)
                    return;
                if (writeSidecar_)
                    std::ofstream(std::filesystem::path(copy).replace_extension(".XMP"))
                        << "<x:xmpmeta/>\n";
                exported.push_back(copy);
            },
            std::to_string(metadataCode));
    }
    return exported;
}

std::string FakeApertureApplication::projectName(const std::string& projectId) {
    return answer("projectName", projectId, [&] { return projectLocked(projectId).name; });
}

std::vector<std::string> FakeApertureApplication::projectVersionIds(const std::string& projectId) {
    return answer("projectVersionIds", projectId,
                  [&] { return projectLocked(projectId).versionIds; });
}

std::vector<std::vector<std::string>>
FakeApertureApplication::projectTagValues(const std::string& projectId) {
    return answer("projectTagValues", projectId, [&] {
        std::vector<std::vector<std::string>> values;
        for (const auto& id : projectLocked(projectId).versionIds)
            values.push_back(column(versionLocked(id).customTags, &Tags::value_type::second));
        return values;
    });
}

std::vector<std::vector<std::string>>
FakeApertureApplication::projectTagNames(const std::string& projectId) {
    return answer("projectTagNames", projectId, [&] {
        const Project& project = projectLocked(projectId);
        std::vector<std::vector<std::string>> names;
        for (const auto& id : project.versionIds)
            names.push_back(column(versionLocked(id).customTags, &Tags::value_type::first));
        if (project.tagListMismatch && !names.empty())
            names.pop_back();
        else if (project.tagListMismatch)
            names.emplace_back();
        return names;
    });
}

std::string FakeApertureApplication::versionName(const std::string& versionId) {
    return answer("versionName", versionId, [&] { return versionLocked(versionId).name; });
}

int64_t FakeApertureApplication::versionHeight(const std::string& versionId) {
    return answer("versionHeight", versionId, [&] { return versionLocked(versionId).height; });
}

bool FakeApertureApplication::versionOnline(const std::string& versionId) {
    return answer("versionOnline", versionId, [&] { return versionLocked(versionId).online; });
}

std::optional<std::string> FakeApertureApplication::versionOtherTag(const std::string& versionId,
                                                                    std::string_view tagName) {
    return answer(
        "versionOtherTag", versionId,
        [&]() -> std::optional<std::string> {
            const auto& tags = versionLocked(versionId).otherTags;
            const auto it = tags.find(tagName);
            if (it == tags.end())
                return std::nullopt;
            return it->second;
        },
        tagName);
}

std::vector<std::string> FakeApertureApplication::versionTagValues(const std::string& versionId) {
    return answer("versionTagValues", versionId, [&] {
        return column(versionLocked(versionId).customTags, &Tags::value_type::second);
    });
}

std::vector<std::string> FakeApertureApplication::versionTagNames(const std::string& versionId) {
    return answer("versionTagNames", versionId, [&] {
        return column(versionLocked(versionId).customTags, &Tags::value_type::first);
    });
}

void FakeApertureApplication::addCustomTag(const std::string& versionId, std::string_view name,
                                           std::string_view value) {
    answer(
        "addCustomTag", versionId,
        [&] { setTag(versionLocked(versionId).customTags, name, value); },
        std::string(name) + " " + std::string(value));
}

std::vector<ApertureKeyword>
FakeApertureApplication::versionKeywords(const std::string& versionId) {
    return answer("versionKeywords", versionId, [&] { return versionLocked(versionId).keywords; });
}

void FakeApertureApplication::addKeyword(const std::string& versionId, std::string_view name,
                                         std::string_view parent) {
    answer(
        "addKeyword", versionId,
        [&] { assign(versionLocked(versionId), std::string(name), std::string(parent)); },
        std::string(name) + " | " + std::string(parent));
}

void FakeApertureApplication::deleteKeyword(const std::string& versionId,
                                            const ApertureKeyword& keyword) {
    answer(
        "deleteKeyword", versionId,
        [&] {
            std::vector<Keyword>& keywords = versionLocked(versionId).keywords;
            const auto it = std::ranges::find(keywords, keyword.uuid, &Keyword::uuid);
            if (it != keywords.end())
                keywords.erase(it);
        },
        keyword.name);
}

// --- Internals ---

FakeApertureApplication::Version& FakeApertureApplication::versionLocked(const std::string& id) {
    auto [it, inserted] = versions_.try_emplace(id);
    if (inserted) {
        it->second.id = id;
        it->second.name = id;
    }
    return it->second;
}

FakeApertureApplication::Project& FakeApertureApplication::projectLocked(const std::string& id) {
    const auto it = std::ranges::find(projects_, id, &Project::id);
    if (it == projects_.end())
        throw ScriptingError("NoSuchProject", "no project " + id);
    return *it;
}

void FakeApertureApplication::assign(Version& version, std::string name, std::string parent) {
    version.keywords.push_back(Keyword{std::string("K").append(std::to_string(nextKeywordUuid_++)),
                                       std::move(name), std::move(parent)});
}

void FakeApertureApplication::setTag(Tags& tags, std::string_view name, std::string_view value) {
    const auto it = std::ranges::find(tags, name, &Tags::value_type::first);
    if (it != tags.end())
        it->second = value;
    else
        tags.emplace_back(name, value);
}

std::vector<std::string> FakeApertureApplication::column(const Tags& tags,
                                                         std::string Tags::value_type::*part) {
    std::vector<std::string> texts;
    for (const auto& tag : tags)
        texts.push_back(tag.*part);
    return texts;
}

} // namespace lumsift::scripting
