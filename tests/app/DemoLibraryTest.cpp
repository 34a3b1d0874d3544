// The demo library that scripts/run-demo opens, made by scripts/make-demo-library: every opening
// (scripts/open-demo-library) selects the photograph run-demo announces; and driven through the
// real window as a new user drives it, the search for the selected photograph finds exactly its
// near-copies (pictures of their own, not the photograph's file again), and photolib's page of
// pictures shows them under it. Without a display, run-demo stops before doing anything.
#include "app/ResultsView.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"
#include "tests/app/AppHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace lumsift::app {
namespace {

namespace fs = std::filesystem;
using testing::AppHarness;
using Names = std::set<std::string>;

// The names of the versions of `package` that carry the keyword `name`.
Names carrying(const fs::path& package, const std::string& name) {
    auto library = photolib::LibraryPackage::open(package);
    Names names;
    for (const auto& version : library.versionsWithKeyword(name, "ZUL Lumsift"))
        names.insert(version.name);
    return names;
}

// `command` run by the shell; its exit status.
int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const fs::path& path) {
    return std::string("'").append(path.string()).append("'");
}

bool demoCanBeMade() {
    return shell("command -v vips >/dev/null") == 0 &&
           fs::exists("/usr/share/wallpapers/ColdRipple");
}
constexpr const char* kCannotMakeDemo = "the demo needs libvips-tools and "
                                        "plasma-workspace-wallpapers (scripts/install-deps "
                                        "installs them)";

// The names of the selected versions of `package`, in the selection's order.
std::vector<std::string> selectedNames(const fs::path& package) {
    auto library = photolib::LibraryPackage::open(package);
    std::vector<std::string> names;
    for (const auto& uuid : library.selection())
        names.push_back(library.versionRecord(uuid).value_or(photolib::VersionRecord{}).name);
    return names;
}

TEST(DemoLibrary, EveryRunOpensTheLibraryWithThePhotographItAnnouncesSelected) {
    if (!demoCanBeMade())
        GTEST_SKIP() << kCannotMakeDemo;
    testimages::TempDir folder;
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1), 0);
    const fs::path package = folder / "Pictures" / "Lumsift Demo.aplibrary";
    const std::string photolib = quoted(LUMSIFT_PHOTOLIB_PROGRAM);
    const fs::path scripts = fs::path(LUMSIFT_SOURCE_DIR) / "scripts";
    const std::string openDemo =
        quoted(scripts / "open-demo-library") + " " + photolib + " " + quoted(package);

    // What run-demo tells the user is selected.
    std::ifstream runDemo(scripts / "run-demo");
    const std::string text{std::istreambuf_iterator<char>(runDemo), {}};
    std::smatch announced;
    ASSERT_TRUE(
        std::regex_search(text, announced, std::regex(R"re(photograph "([^"]+)" selected)re")));

    // The first run makes the library; the second finds it as the user left it: another
    // selection, closed.
    const std::string between[] = {"true", photolib + " select " + quoted(package) +
                                               " EveningGlow FallenLeaf && " + photolib + " close"};
    std::string uuid;
    for (const auto& userAction : between) {
        ASSERT_EQ(shell("{ " + userAction + "; } >/dev/null"), 0);
        ASSERT_EQ(shell(openDemo + " >/dev/null"), 0) << userAction;
        EXPECT_EQ(selectedNames(package), std::vector<std::string>{announced[1]}) << userAction;
        EXPECT_EQ(photolib::openLibraryPath(), package) << userAction;
        const std::string first = photolib::LibraryPackage::open(package).versions().at(0).uuid;
        EXPECT_TRUE(uuid.empty() || first == uuid) << "the library was made again";
        uuid = first;
    }
    photolib::closeLibrary();
}

TEST(DemoLibrary, TheSearchFindsExactlyTheNearCopiesOfTheSelectedPhotograph) {
    if (!demoCanBeMade())
        GTEST_SKIP() << kCannotMakeDemo;
    testimages::TempDir folder;
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1), 0);
    const fs::path package = folder / "Lumsift Demo.aplibrary";
    const fs::path photolib = LUMSIFT_PHOTOLIB_PROGRAM;
    ASSERT_EQ(shell(quoted(fs::path(LUMSIFT_SOURCE_DIR) / "scripts" / "make-demo-library") + " " +
                    quoted(photolib) + " " + quoted(package) + " >/dev/null"),
              0);
    ASSERT_EQ(shell(quoted(photolib) + " open " + quoted(package) + " >/dev/null"), 0);

    // The copies are pictures of their own, not the photograph's file under other names: a
    // search finds byte-identical files too, so only this shows the demo's point.
    std::set<std::string> contents;
    for (const auto& version : photolib::LibraryPackage::open(package).versions()) {
        if (!version.name.starts_with("ColdRipple"))
            continue;
        EXPECT_FALSE(fs::is_symlink(version.masterPath)) << version.name;
        EXPECT_EQ(fs::hard_link_count(version.masterPath), 1u) << version.name;
        std::ifstream master(version.masterPath, std::ios::binary);
        contents.insert(std::string{std::istreambuf_iterator<char>(master), {}});
    }
    EXPECT_EQ(contents.size(), 5u);

    photolib::registerLibraryApplication();
    AppHarness h(/*registerFake=*/false);
    h.launch();
    ResultsView* results = h.searchThroughTheWindow(package);
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(h.ui.delegate->selectedLabel()->text(), "1");
    const LoadingDataView* loading = h.ui.delegate->loadingDataViewController()->loadingDataView();
    EXPECT_EQ(loading->totalImagesLabel()->stringValue(), "23");
    EXPECT_EQ(loading->analysedImagesLabel()->stringValue(), "23");
    // The page's first search: the plus fingerprint, its sensitivity chosen automatically.
    EXPECT_EQ(results->retrieveStatusLabel()->stringValue(), "Retrieval Complete");
    EXPECT_EQ(results->similarImagesLabel()->stringValue(), "4");

    EXPECT_EQ(carrying(package, "Lumsift ColdRipple"),
              (Names{"ColdRipple", "ColdRipple cropped", "ColdRipple half size",
                     "ColdRipple low quality", "ColdRipple turned"}));
    EXPECT_EQ(carrying(package, "Lumsift Target"), Names{"ColdRipple"});

    // The page of pictures shows the photograph first, then its copies.
    const fs::path page = folder / "sheet.html";
    ASSERT_EQ(shell(quoted(photolib) + " sheet " + quoted(package) + " --output " + quoted(page) +
                    " >/dev/null"),
              0);
    std::ifstream in(page);
    const std::string html{std::istreambuf_iterator<char>(in), {}};
    const std::regex name(R"re(<span class="name">([^<]*)</span>)re");
    std::vector<std::string> shown;
    for (std::sregex_iterator it(html.begin(), html.end(), name), end; it != end; ++it)
        shown.push_back((*it)[1]);
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[0], "ColdRipple");
    EXPECT_EQ(Names(shown.begin() + 1, shown.end()),
              (Names{"ColdRipple cropped", "ColdRipple half size", "ColdRipple low quality",
                     "ColdRipple turned"}));
    EXPECT_NE(html.find("<h2>Lumsift ColdRipple</h2>"), std::string::npos);

    photolib::closeLibrary();
}

// Without a display the demo says what it needs before it installs, builds or makes anything.
TEST(DemoLibrary, WithoutADisplayRunDemoStopsFirstAndSaysWhatItNeeds) {
    testimages::TempDir folder;
    const fs::path build = folder / "build";
    const std::string command =
        "cd " + quoted(LUMSIFT_SOURCE_DIR) +
        " && env -u DISPLAY -u WAYLAND_DISPLAY HOME=" + quoted(folder.path()) +
        " LUMSIFT_BUILD_DIR=" + quoted(build) + " scripts/run-demo >" + quoted(folder / "out") +
        " 2>&1";
    EXPECT_EQ(shell(command), 2);
    std::ifstream out(folder / "out");
    const std::string said{std::istreambuf_iterator<char>(out), {}};
    EXPECT_NE(said.find("needs a graphical session"), std::string::npos) << said;
    EXPECT_EQ(said.find("install-deps:"), std::string::npos) << said;
    EXPECT_FALSE(fs::exists(build));
    EXPECT_FALSE(fs::exists(folder / "Pictures"));
}

} // namespace
} // namespace lumsift::app
