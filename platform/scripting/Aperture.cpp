// Image-version and project handles forward to their application; the registry of applications.
#include "platform/scripting/Aperture.h"

#include <map>
#include <mutex>

namespace lumsift::scripting {

std::string ApertureImageVersion::name() const { return app_->versionName(id_); }
int64_t ApertureImageVersion::height() const { return app_->versionHeight(id_); }
bool ApertureImageVersion::online() const { return app_->versionOnline(id_); }
std::optional<std::string> ApertureImageVersion::otherTagValue(std::string_view tagName) const {
    return app_->versionOtherTag(id_, tagName);
}
std::vector<std::string> ApertureImageVersion::customTagValues() const {
    return app_->versionTagValues(id_);
}
std::vector<std::string> ApertureImageVersion::customTagNames() const {
    return app_->versionTagNames(id_);
}
void ApertureImageVersion::addCustomTag(std::string_view name, std::string_view value) const {
    app_->addCustomTag(id_, name, value);
}
std::vector<ApertureKeyword> ApertureImageVersion::keywords() const {
    return app_->versionKeywords(id_);
}
void ApertureImageVersion::addKeyword(std::string_view name, std::string_view parent) const {
    app_->addKeyword(id_, name, parent);
}
void ApertureImageVersion::deleteKeyword(const ApertureKeyword& keyword) const {
    app_->deleteKeyword(id_, keyword);
}

std::string ApertureProject::name() const { return app_->projectName(id_); }
std::vector<ApertureImageVersion> ApertureProject::imageVersions() const {
    std::vector<ApertureImageVersion> versions;
    auto ids = app_->projectVersionIds(id_);
    versions.reserve(ids.size());
    for (auto& id : ids)
        versions.emplace_back(app_, std::move(id));
    return versions;
}
std::vector<std::vector<std::string>> ApertureProject::customTagValues() const {
    return app_->projectTagValues(id_);
}
std::vector<std::vector<std::string>> ApertureProject::customTagNames() const {
    return app_->projectTagNames(id_);
}

namespace {
struct Registry {
    std::mutex mutex;
    std::map<std::string, ScriptingRegistry::Factory, std::less<>> factories;
};
Registry& registry() {
    static Registry r;
    return r;
}
} // namespace

std::shared_ptr<ApertureApplication>
ScriptingRegistry::applicationWithBundleIdentifier(std::string_view bundleIdentifier) {
    Factory factory;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        const auto it = r.factories.find(bundleIdentifier);
        if (it != r.factories.end())
            factory = it->second;
    }
    if (factory)
        return factory();
    return nullptr;
}

void ScriptingRegistry::registerApplication(std::string_view bundleIdentifier, Factory factory) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.factories[std::string(bundleIdentifier)] = std::move(factory);
}

} // namespace lumsift::scripting
