// photolib sheet: the page's groups and their order, and every picture's thumbnail, name and
// path, read back from the page it writes.
#include "photolib/LibraryPackage.h"
#include "tests/photolib/TestLibrary.h"
#include "tests/support/HostileImages.h"

// libvips (through glib) before Qt, whose "signals" keyword glib's headers use as a name.
#include <vips/vips.h>

#include <QByteArray>

#include <gtest/gtest.h>

#include "tests/support/SavedEnvironment.h"

#include <cstdlib>
#include <regex>

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using namespace testlib;
using photolib::ImportOptions;
using photolib::LibraryPackage;

// One picture of the page as written: its role ("target" or "match"), uuid, the thumbnail's bytes
// (empty when the page shows a note instead) and size, the note, name and path.
struct Figure {
    std::string role, uuid, jpeg;
    int width = 0, height = 0;
    std::string note, name, path;
};

struct Section {
    std::string heading, note;
    std::vector<Figure> figures;
};

std::vector<Section> readPage(const std::string& page) {
    std::vector<Section> sections;
    const std::regex section(
        R"re(<section>\n<h2>([^<]*)</h2>\n<p class="note">([^<]*)</p>\n<div class="pictures">\n)re"
        R"re(([\s\S]*?)</div>\n</section>)re");
    const std::regex figure(
        R"re(<figure class="(target|match)" data-uuid="([^"]*)">)re"
        R"re((?:<img src="data:image/jpeg;base64,([^"]*)" width="(\d+)" height="(\d+)" alt="[^"]*">)re"
        R"re(|<div class="missing">([^<]*)</div>)<figcaption>(?:<span class="role">[^<]*</span>)?)re"
        R"re(<span class="name">([^<]*)</span><span class="path">([^<]*)</span>)re"
        R"re(</figcaption></figure>)re");
    for (std::sregex_iterator it(page.begin(), page.end(), section), end; it != end; ++it) {
        Section s{(*it)[1], (*it)[2], {}};
        const std::string body = (*it)[3];
        for (std::sregex_iterator f(body.begin(), body.end(), figure); f != end; ++f) {
            const std::smatch& m = *f;
            s.figures.push_back(
                {m[1], m[2], QByteArray::fromBase64(QByteArray::fromStdString(m[3])).toStdString(),
                 m[4].matched ? std::stoi(m[4]) : 0, m[5].matched ? std::stoi(m[5]) : 0, m[6], m[7],
                 m[8]});
        }
        sections.push_back(s);
    }
    return sections;
}

// The picture's mean grey level and size, read by libvips from the bytes; {-1, 0, 0} when they
// are not a picture.
struct Seen {
    double mean = -1;
    int width = 0, height = 0;
};
Seen look(const std::string& bytes) {
    VipsImage* image = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr);
    if (image == nullptr) {
        vips_error_clear();
        return {};
    }
    Seen seen{-1, vips_image_get_width(image), vips_image_get_height(image)};
    if (vips_avg(image, &seen.mean, nullptr) != 0)
        vips_error_clear();
    g_object_unref(image);
    return seen;
}

// A library of five grey pictures of their own levels, "c&match" among them, and the keywords
// of two searches: "b-target" found "a-match" and "c&match"; "d-other" found "b-target".
struct Searched {
    TempFolder temp;
    std::string library = (temp / "Trip.aplibrary").string();
    std::map<std::string, int> level{{"a-match", 40},
                                     {"b-target", 90},
                                     {"c&match", 140},
                                     {"d-other", 190},
                                     {"e-unrelated", 230}};
    std::map<std::string, std::string> uuid;
    Searched() {
        VIPS_INIT("contact-sheet-test");
        for (const auto& [name, grey] : level)
            writeImage(temp / "in" / (name + ".png"), 400, 300, grey);
        auto package = LibraryPackage::create(library);
        ImportOptions options;
        options.project = "Trip";
        for (const auto& v : package.importFiles(std::vector{temp / "in"}, options).imported)
            uuid[v.name] = v.uuid;
        const auto found = [&](const std::string& target, std::vector<std::string> matches) {
            for (const auto& match : matches)
                package.addKeyword(uuid[match], "Lumsift " + target, "ZUL Lumsift");
            package.addKeyword(uuid[target], "Lumsift Target", "ZUL Lumsift");
            package.addKeyword(uuid[target], "Lumsift " + target, "ZUL Lumsift");
        };
        found("b-target", {"a-match", "c&match"});
        found("d-other", {"b-target"});
    }
    std::vector<Section> sheet(std::vector<std::string> more = {}) {
        const fs::path page = temp / "page.html";
        std::vector<std::string> args{"sheet", library, "--output", page.string()};
        args.insert(args.end(), more.begin(), more.end());
        const auto result = runPhotolib(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, "Wrote " + page.string() + "\n");
        return readPage(readBytes(page));
    }
    // What Clear Keywords leaves after the search for `target`: its keyword off every image and
    // "Lumsift Target" off the target, the keywords themselves still in the library.
    void clear(const std::string& target) {
        auto package = LibraryPackage::open(library);
        const auto takeOff = [&](const std::string& version, const std::string& name) {
            for (const auto& keyword : package.keywords(version))
                if (keyword.name == name && keyword.parentName == "ZUL Lumsift") {
                    package.deleteKeyword(version, keyword.uuid);
                    return;
                }
        };
        for (const auto& version : package.versionsWithKeyword("Lumsift " + target, "ZUL Lumsift"))
            takeOff(version.uuid, "Lumsift " + target);
        takeOff(uuid[target], "Lumsift Target");
    }
    std::string masterPath(const std::string& name) const {
        return (fs::path(library) / "Masters" / "Trip" / (name + ".png")).string();
    }
};

TEST(ContactSheet, GroupsWhatEachSearchFoundUnderItsSelectedImage) {
    Searched s;
    const auto sections = s.sheet();
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].heading, "Lumsift b-target");
    EXPECT_EQ(sections[0].note, "1 selected image, 2 similar images");
    EXPECT_EQ(sections[1].heading, "Lumsift d-other");

    // The selected image first, then its matches in the library's order, whatever that order.
    const std::vector<std::pair<std::string, std::string>> expected[] = {
        {{"target", "b-target"}, {"match", "a-match"}, {"match", "c&match"}},
        {{"target", "d-other"}, {"match", "b-target"}}};
    const auto escaped = [](const std::string& text) {
        return std::regex_replace(text, std::regex("&"), "&amp;");
    };
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(sections[i].figures.size(), expected[i].size()) << i;
        for (size_t j = 0; j < expected[i].size(); ++j) {
            const Figure& figure = sections[i].figures[j];
            const auto& [role, name] = expected[i][j];
            EXPECT_EQ(figure.role, role) << name;
            EXPECT_EQ(figure.name, escaped(name));
            EXPECT_EQ(figure.uuid, s.uuid[name]);
            EXPECT_EQ(figure.path, escaped(s.masterPath(name)));
            // The thumbnail is the master's picture, at most 256 pixels a side, aspect kept; the
            // page gives its size.
            const Seen seen = look(figure.jpeg);
            EXPECT_EQ(std::pair(seen.width, seen.height), std::pair(256, 192)) << name;
            EXPECT_EQ(std::pair(figure.width, figure.height), std::pair(256, 192)) << name;
            EXPECT_NEAR(seen.mean, s.level[name], 3.0) << name;
        }
    }
}

TEST(ContactSheet, OneKeywordOrWithoutResultsEveryProject) {
    Searched s;
    const auto one = s.sheet({"--keyword", "Lumsift d-other"});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].figures.size(), 2u);

    const auto refused = runPhotolib({"sheet", s.library, "--keyword", "Lumsift nobody", "--output",
                                      (s.temp / "x.html").string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("no version carries the keyword \"Lumsift nobody\""),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(s.temp / "x.html"));
    EXPECT_FALSE(fs::exists(s.temp / "x.html.partial"));

    // Without keywords (another library): every image, project by project; a missing master,
    // and one that became a JPEG of more scans than a decoder takes, show a note. What libvips
    // says of a master goes to the log, not to the terminal.
    writeImageWithOddExif(s.temp / "in" / "f-odd.jpg");
    const std::string plain = (s.temp / "Plain.aplibrary").string();
    {
        auto package = LibraryPackage::create(plain);
        ImportOptions options;
        options.project = "All";
        package.importFiles(std::vector{s.temp / "in"}, options);
    }
    fs::remove(fs::path(plain) / "Masters" / "All" / "e-unrelated.png");
    writeBytes(fs::path(plain) / "Masters" / "All" / "d-other.png",
               testimages::jpegOfKind(testimages::photoPixels(1), testimages::JpegKind::ManyScans));
    setenv("XDG_CACHE_HOME", (s.temp / "cache").c_str(), 1);
    const auto result = runPhotolib({"sheet", plain});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const fs::path page = s.temp / "cache" / "photolib" / "Plain.html";
    EXPECT_EQ(result.out, "Wrote " + page.string() + "\n");
    const auto sections = readPage(readBytes(page));
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].heading, "Project All");
    ASSERT_EQ(sections[0].figures.size(), 6u);
    EXPECT_EQ(sections[0].figures[4].name, "e-unrelated");
    EXPECT_EQ(sections[0].figures[3].note, "No picture: a JPEG of more than 256 scans");
    EXPECT_EQ(sections[0].figures[4].note, "No picture: the master file is missing");
    EXPECT_EQ(sections[0].figures[5].name, "f-odd");
    EXPECT_EQ(look(sections[0].figures[5].jpeg).width, 8);
    for (const auto& figure : sections[0].figures)
        EXPECT_EQ(figure.role, "match");
}

TEST(ContactSheet, KeywordsThatNoImageCarriesAnyMoreAreLeftOut) {
    Searched s;
    const struct {
        std::string cleared;
        std::vector<std::pair<std::string, size_t>> groups; // heading, pictures
        std::string carried; // the refusal's list of what images still carry
    } rows[] = {
        {"b-target",
         {{"Lumsift d-other", 2}},
         R"((keywords under "ZUL Lumsift" that versions carry: "Lumsift d-other"))"},
        // Nothing found any more: every image, as before any search.
        {"d-other", {{"Project Trip", 5}}, R"((no version carries a keyword under "ZUL Lumsift"))"},
    };
    const fs::path page = s.temp / "page.html";
    for (const auto& row : rows) {
        s.clear(row.cleared);
        std::vector<std::pair<std::string, size_t>> groups;
        for (const auto& section : s.sheet())
            groups.emplace_back(section.heading, section.figures.size());
        EXPECT_EQ(groups, row.groups) << row.cleared;

        // Asked for by name, a cleared keyword is refused with what can be shown instead, and
        // the page written last is kept.
        const std::string before = readBytes(page);
        const auto refused = runPhotolib(
            {"sheet", s.library, "--keyword", "Lumsift " + row.cleared, "--output", page.string()});
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err, "photolib: no version carries the keyword \"Lumsift " + row.cleared +
                                   "\" " + row.carried + "\n");
        EXPECT_EQ(readBytes(page), before);
    }
}

TEST(ContactSheet, OpenHandsThePageToTheDesktop) {
    Searched s;
    // A stand-in for xdg-open that notes what it was asked to open.
    const fs::path bin = s.temp / "bin";
    writeBytes(bin / "xdg-open",
               "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/opened\"\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const testing::SavedEnvironment saved{"PATH"};
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
    const fs::path page = s.temp / "results page.html";
    const auto result = runPhotolib({"sheet", s.library, "--output", page.string(), "--open"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readBytes(bin / "opened"), page.string() + "\n");
}

} // namespace
} // namespace lumsift
