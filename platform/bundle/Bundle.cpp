// The application bundle, found from the running executable.
#include "platform/bundle/Bundle.h"

#include "platform/plist/Plist.h"

#include <memory>
#include <mutex>

namespace lumsift {
namespace {

std::mutex& bundleMutex() {
    static std::mutex m;
    return m;
}
std::unique_ptr<Bundle>& mainSlot() {
    static std::unique_ptr<Bundle> slot;
    return slot;
}

} // namespace

Bundle Bundle::forExecutable(const std::filesystem::path& executable) {
    Bundle b;
    b.executable_ = executable;
    const auto dir = executable.parent_path();
    if (dir.filename() == "MacOS" && dir.parent_path().filename() == "Contents") {
        const auto contents = dir.parent_path();
        b.bundlePath_ = contents.parent_path();
        b.infoPlist_ = contents / "Info.plist";
        b.resources_ = contents / "Resources";
        return b;
    }
    b.bundlePath_ = dir;
    b.infoPlist_ = dir / "Info.plist";
    b.resources_ = dir;
    return b;
}

const Bundle& Bundle::main() {
    std::lock_guard lock(bundleMutex());
    auto& slot = mainSlot();
    if (!slot) {
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        slot = std::make_unique<Bundle>(forExecutable(exe));
    }
    return *slot;
}

void Bundle::setMainForTesting(const std::filesystem::path& bundlePath,
                               const std::filesystem::path& executable,
                               const std::filesystem::path& infoPlist,
                               const std::filesystem::path& resources) {
    std::lock_guard lock(bundleMutex());
    auto b = std::make_unique<Bundle>();
    b->bundlePath_ = bundlePath;
    b->executable_ = executable;
    b->infoPlist_ = infoPlist;
    b->resources_ = resources;
    mainSlot() = std::move(b);
}

std::optional<std::string> Bundle::infoString(std::string_view key) const {
    const auto info = plist::Plist::readFile(infoPlist_);
    if (!info)
        return std::nullopt;
    return plist::stringValue(plist::dictItem(info->get(), std::string(key).c_str()));
}

} // namespace lumsift
