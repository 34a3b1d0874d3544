// The contact sheet: groups of versions, a thumbnail of each master made with libvips, and the
// page that shows them.
#include "photolib/tool/ContactSheet.h"

#include "photolib/Text.h"
#include "platform/jpeg/JpegScans.h"
#include "platform/vips/Vips.h"

#include <glib.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace lumsift::photolib {
namespace fs = std::filesystem;

namespace {

// One group of the page: a heading, a line under it, and its pictures.
struct Group {
    std::string heading;
    std::string note;
    std::vector<VersionRecord> versions;
    size_t targets = 0; // the first `targets` versions are the search's selected images
};

// A thumbnail: the JPEG bytes and the size in pixels, or why there is none.
struct Thumbnail {
    std::string jpeg;
    int width = 0;
    int height = 0;
    std::string problem;
};

Thumbnail noThumbnail(std::string problem) {
    Thumbnail thumbnail;
    thumbnail.problem = std::move(problem);
    return thumbnail;
}

struct FreeGlib {
    void operator()(void* memory) const { g_free(memory); }
};
// Owns a block that glib or libvips allocated.
using GlibBlock = std::unique_ptr<void, FreeGlib>;

Thumbnail makeThumbnail(const VersionRecord& version) {
    if (!version.online())
        return noThumbnail("the master file is missing");
    if (!vips::start())
        return noThumbnail("libvips could not start");
    // libvips decodes every scan of a JPEG, however many there are.
    if (jpeg::hasTooManyScans(version.masterPath))
        return noThumbnail(jpeg::tooManyScans());
    // Shrinks on load where the format allows, never enlarges, and turns the picture upright.
    const vips::Result thumbnail = vips::call([&](VipsImage** out) {
        return vips_thumbnail(version.masterPath.c_str(), out, kThumbnailSize, "height",
                              kThumbnailSize, "size", VIPS_SIZE_DOWN, nullptr);
    });
    if (!thumbnail)
        return noThumbnail(thumbnail.error);
    void* buffer = nullptr;
    size_t length = 0;
    if (vips_jpegsave_buffer(thumbnail.image.get(), &buffer, &length, "Q", 80, "strip", TRUE,
                             nullptr) != 0) {
        const std::string message = vips_error_buffer();
        vips_error_clear();
        return noThumbnail(message);
    }
    const GlibBlock owned(buffer);
    return {std::string(static_cast<const char*>(buffer), length),
            vips_image_get_width(thumbnail.image.get()),
            vips_image_get_height(thumbnail.image.get()),
            {}};
}

std::string base64(std::string_view bytes) {
    const GlibBlock text(
        g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()));
    return static_cast<const char*>(text.get());
}

// `text` in double quotes, as messages name keywords.
std::string quotedText(std::string_view text) {
    return std::string("\"").append(text).append("\"");
}

// The search's groups: one per keyword under "ZUL Lumsift" (or only `only`) that a version
// carries, targets first. Clear Keywords takes a search's keyword off its images but leaves it in
// the library, so a keyword may have no version. Throws ScriptingError when `only` has none.
std::vector<Group> searchGroups(LibraryPackage& library, const std::optional<std::string>& only) {
    std::vector<std::string> keywords;
    if (only)
        keywords.push_back(*only);
    else
        for (auto& name : library.keywordNames(kSearchParentKeyword))
            if (name != kTargetKeyword)
                keywords.push_back(std::move(name));
    std::vector<std::string> targets;
    for (const auto& v : library.versionsWithKeyword(kTargetKeyword, kSearchParentKeyword))
        targets.push_back(v.uuid);
    const auto isTarget = [&](const VersionRecord& v) {
        return std::find(targets.begin(), targets.end(), v.uuid) != targets.end();
    };
    std::vector<Group> groups;
    for (const auto& keyword : keywords) {
        Group group{
            keyword, {}, library.versionsWithKeyword(keyword, only ? "" : kSearchParentKeyword), 0};
        if (group.versions.empty())
            continue;
        // The search names its keyword after the image it started from.
        const std::string prefix = "Lumsift ";
        const std::string searched =
            keyword.starts_with(prefix) ? keyword.substr(prefix.size()) : std::string();
        const auto firstMatch = std::stable_partition(
            group.versions.begin(), group.versions.end(),
            [&](const VersionRecord& v) { return isTarget(v) && v.name == searched; });
        group.targets = static_cast<size_t>(firstMatch - group.versions.begin());
        const size_t matches = group.versions.size() - group.targets;
        group.note = std::to_string(group.targets) +
                     (group.targets == 1 ? " selected image, " : " selected images, ") +
                     std::to_string(matches) +
                     (matches == 1 ? " similar image" : " similar images");
        groups.push_back(std::move(group));
    }
    if (!only || !groups.empty())
        return groups;
    // A page of nothing would also replace the last page written there; say what there is.
    std::string carried;
    for (const auto& group : searchGroups(library, std::nullopt))
        carried += (carried.empty() ? "" : ", ") + quotedText(group.heading);
    const std::string parent = quotedText(kSearchParentKeyword);
    const std::string instead =
        carried.empty() ? "no version carries a keyword under " + parent
                        : "keywords under " + parent + " that versions carry: " + carried;
    throw scripting::ScriptingError("NoSuchKeyword", "no version carries the keyword " +
                                                         quotedText(*only) + " (" + instead + ")");
}

std::vector<Group> projectGroups(LibraryPackage& library) {
    std::vector<Group> groups;
    for (const auto& project : library.projects()) {
        Group group{"Project " + project.name, {}, library.versions(project.uuid), 0};
        group.note = std::to_string(group.versions.size()) +
                     (group.versions.size() == 1 ? " image" : " images");
        groups.push_back(std::move(group));
    }
    return groups;
}

constexpr std::string_view kStyle = R"css(
body { font-family: sans-serif; margin: 1.5em; background: #f3f3f3; color: #222; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
p.about { color: #555; margin-top: 0; }
section { margin: 1.5em 0; }
h2 { font-size: 1.1em; margin-bottom: 0.1em; }
p.note { color: #555; margin: 0 0 0.6em 0; font-size: 0.9em; }
div.pictures { display: flex; flex-wrap: wrap; gap: 12px; }
figure { margin: 0; width: 264px; background: #fff; border: 1px solid #ccc; padding: 6px;
         box-sizing: border-box; }
figure.target { border: 3px solid #c0392b; }
figure img { display: block; margin: 0 auto; max-width: 100%; height: auto; }
figure div.missing { height: 120px; display: flex; align-items: center; justify-content: center;
                     color: #a00; font-size: 0.85em; text-align: center; }
figcaption { font-size: 12px; margin-top: 4px; overflow-wrap: anywhere; }
figcaption span.role { color: #c0392b; font-weight: bold; text-transform: uppercase;
                       font-size: 10px; display: block; }
figcaption span.name { font-weight: bold; display: block; }
figcaption span.path { color: #666; }
)css";

void writeFigure(const VersionRecord& version, bool target, std::ostream& page) {
    const Thumbnail thumbnail = makeThumbnail(version);
    page << "<figure class=\"" << (target ? "target" : "match") << "\" data-uuid=\""
         << markupText(version.uuid) << "\">";
    if (thumbnail.problem.empty())
        page << "<img src=\"data:image/jpeg;base64," << base64(thumbnail.jpeg) << "\" width=\""
             << thumbnail.width << "\" height=\"" << thumbnail.height << "\" alt=\""
             << markupText(version.name) << "\">";
    else
        page << "<div class=\"missing\">No picture: " << markupText(thumbnail.problem) << "</div>";
    page << "<figcaption>";
    if (target)
        page << "<span class=\"role\">selected image</span>";
    page << "<span class=\"name\">" << markupText(version.name) << "</span><span class=\"path\">"
         << markupText(version.masterPath.string()) << "</span></figcaption></figure>\n";
}

} // namespace

void writeContactSheet(LibraryPackage& library, const SheetOptions& options, std::ostream& page) {
    std::vector<Group> groups = searchGroups(library, options.keyword);
    const bool results = !groups.empty();
    if (!results)
        groups = projectGroups(library);
    size_t total = 0;
    for (const auto& group : groups)
        total += group.versions.size();

    const std::string title = library.path().stem().string();
    page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
         << markupText(title) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
         << "<h1>" << markupText(title) << "</h1>\n<p class=\"about\">";
    if (results)
        page << "What the searches found: one group per keyword under &quot;"
             << markupText(kSearchParentKeyword)
             << "&quot;, the selected image first (framed), then the images found similar to "
                "it.";
    else
        page << "No image carries a keyword under &quot;" << markupText(kSearchParentKeyword)
             << "&quot; (no search has marked any, or their keywords were cleared): every image, "
                "project by project.";
    page << "<br>" << markupText(library.path().string()) << "</p>\n";

    size_t done = 0;
    for (const auto& group : groups) {
        page << "<section>\n<h2>" << markupText(group.heading) << "</h2>\n<p class=\"note\">"
             << markupText(group.note) << "</p>\n<div class=\"pictures\">\n";
        for (size_t i = 0; i < group.versions.size(); ++i) {
            if (options.progress)
                options.progress(++done, total);
            writeFigure(group.versions[i], i < group.targets, page);
        }
        page << "</div>\n</section>\n";
    }
    page << "</body>\n</html>\n";
}

} // namespace lumsift::photolib
