// The application's desktop entry (freedesktop): the move writes it for the bundle's new place
// and updates entries that still start the bundle it came from, so the desktop's menu never
// points at a bundle that is gone.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumsift::install {

// The name of the program of the bundle at `bundlePath`: Info.plist's CFBundleExecutable, else
// the bundle's name less ".app". Never fails.
std::string bundleExecutableName(const std::filesystem::path& bundlePath);

// `path` as the program of an Exec key: in double quotes, with ", `, $ and \ escaped, % written
// %%, and the string escapes of the format applied. Never fails.
std::string execProgram(std::string_view path);

// `text` as a string value of the format (backslashes, tabs and line breaks escaped).
std::string escapedValue(std::string_view text);

// The desktop entry that the bundle at `bundlePath` carries (borrowed), set to start it from
// `destination`: Exec and TryExec name the program inside `destination` (Info.plist's
// CFBundleExecutable), Icon its 256-pixel icon when the bundle holds one. The file name is
// "<CFBundleIdentifier>.desktop". nullopt when the bundle has no identifier or no entry in its
// resources (Contents/Resources/<CFBundleIdentifier>.desktop).
struct Entry {
    std::string fileName;
    std::string text;
};
std::optional<Entry> entryForMovedBundle(const std::filesystem::path& bundlePath,
                                         const std::filesystem::path& destination);

// Writes `text` to `path` through a file beside it renamed into place (mode 0644), making the
// folder when needed. False, after a log line, when that fails.
bool writeEntry(const std::filesystem::path& path, std::string_view text);

// Rewrites every entry (*.desktop) in `folder` whose Exec, TryExec or Icon names something inside
// `oldBundle` so that it names the same thing inside `newBundle`; other entries are not touched.
// A folder that does not exist holds none. Failures are logged and skipped.
void updateEntriesPointingInto(const std::filesystem::path& folder,
                               const std::filesystem::path& oldBundle,
                               const std::filesystem::path& newBundle);

} // namespace lumsift::install
