// The application bundle: where the program, its Info.plist and its resources lie.
// Installed, that is `Lumsift.app/Contents/{MacOS/Lumsift, Info.plist, Resources/}`; run from the
// build tree, Info.plist and the resources lie beside the executable.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumsift {

class Bundle {
public:
    // The bundle of the running program, found from /proc/self/exe on first use.
    static const Bundle& main();
    // Replaces the main bundle (tests). `bundlePath` is the bundle folder; the Info.plist read is
    // `infoPlist`, the resources folder `resources`.
    static void setMainForTesting(const std::filesystem::path& bundlePath,
                                  const std::filesystem::path& executable,
                                  const std::filesystem::path& infoPlist,
                                  const std::filesystem::path& resources);

    // Describes the bundle that holds `executable` (see the file comment).
    static Bundle forExecutable(const std::filesystem::path& executable);

    const std::filesystem::path& bundlePath() const { return bundlePath_; }
    const std::filesystem::path& executablePath() const { return executable_; }
    const std::filesystem::path& infoPlistPath() const { return infoPlist_; }
    const std::filesystem::path& resourcePath() const { return resources_; }

    // The string stored under `key` in Info.plist (read afresh each call); nullopt when the file
    // or the key is missing or the value is not a string.
    std::optional<std::string> infoString(std::string_view key) const;

private:
    std::filesystem::path bundlePath_;
    std::filesystem::path executable_;
    std::filesystem::path infoPlist_;
    std::filesystem::path resources_;
};

} // namespace lumsift
