// The library as a page of pictures: one self-contained HTML file of thumbnails (made with libvips
// and embedded as data URIs), grouped under the search keywords, so that a user sees what a search
// found.
#pragma once

#include "photolib/LibraryPackage.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace lumsift::photolib {

// The parent keyword of every keyword a search adds, and the keyword its selected images get.
inline constexpr std::string_view kSearchParentKeyword = "ZUL Lumsift";
inline constexpr std::string_view kTargetKeyword = "Lumsift Target";

// The longest side of a thumbnail, in pixels; smaller pictures keep their size.
inline constexpr int kThumbnailSize = 256;

struct SheetOptions {
    // Only the group of this keyword; else every keyword under "ZUL Lumsift" (but "Lumsift
    // Target") that a version carries, or, while there is none, every project.
    std::optional<std::string> keyword;
    // Told of each picture as its thumbnail is made (1-based count, number of pictures); may be
    // null.
    std::function<void(size_t, size_t)> progress;
};

// Writes the page for `library` (borrowed) to `page`. In a keyword's group the images that the
// search started from (their name is the keyword's less "Lumsift ", and they carry "Lumsift
// Target") come first, then the others in the library's order; each picture shows its name and
// its master's path. A picture whose master cannot be read shows a note instead. Throws
// ScriptingError, before writing anything, when `options.keyword` names a keyword that no version
// carries; its reason lists the keywords under "ZUL Lumsift" that versions do carry.
void writeContactSheet(LibraryPackage& library, const SheetOptions& options, std::ostream& page);

} // namespace lumsift::photolib
