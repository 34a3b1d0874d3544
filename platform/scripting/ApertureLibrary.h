// What the photo application shares beyond its scripting interface: the bundle identifier it is
// registered and looked up under, and the layout of its library package, which the engine reads
// directly (read-only) to find master files and which the stand-in in photolib/ writes.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace lumsift::scripting {

// The engine asks the registry for the application of this identifier; the program's start-up
// registers the stand-in under it, tests a fake.
inline constexpr std::string_view kApertureBundleIdentifier = "com.apple.aperture";

// The library package: a folder ("NAME.aplibrary") holding these, below it.
namespace package {

// The managed master files, each at its RKMaster imagePath below this folder.
inline constexpr std::string_view kMastersFolder = "Masters";
// The library database (SQLite).
inline constexpr std::string_view kDatabasePath = "Database/Library.apdb";
// The master list, a property list: its top dictionary holds kMasterImageListKey, a dictionary
// keyed by image-version identifier whose entries hold kImagePathKey, the master's absolute path.
// The keys are C strings, as libplist takes them.
inline constexpr std::string_view kMasterListFile = "ApertureData.xml";
inline constexpr const char* kMasterImageListKey = "Master Image List";
inline constexpr const char* kImagePathKey = "ImagePath";

// The database's way from an image version to its master. RKVersion: uuid (the version's `id` in
// the scripting interface) and masterUuid. RKMaster: uuid, imagePath (text) and fileIsReference
// (integer): a managed master (0) lies at imagePath below kMastersFolder, a referenced one (not
// 0) at imagePath with "/" put before it.
inline constexpr std::string_view kVersionTable = "RKVersion";
inline constexpr std::string_view kMasterTable = "RKMaster";
inline constexpr std::string_view kUuidColumn = "uuid";
inline constexpr std::string_view kMasterUuidColumn = "masterUuid";
inline constexpr std::string_view kImagePathColumn = "imagePath";
inline constexpr std::string_view kFileIsReferenceColumn = "fileIsReference";

// `parts` one after another: a statement or path that names the layout, built from the names
// above. Cannot fail.
inline std::string joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text.append(part);
    }
    return text;
}

} // namespace package
} // namespace lumsift::scripting
