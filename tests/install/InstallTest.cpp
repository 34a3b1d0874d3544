// `cmake --install` into a prefix of the test's own: the bundle, and for the desktop its entry,
// icon theme and metainfo, which the freedesktop tools accept where they are installed.
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;

// Runs `command` (a shell line made of our own paths) and returns its exit status and output.
std::pair<int, std::string> run(const std::string& command, const fs::path& output) {
    const int status = std::system((command + " > '" + output.string() + "' 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testimages::readBytes(output)};
}

TEST(Install, PrefixGetsTheBundleAndItsEntryIconsAndMetainfo) {
    const testimages::TempDir folder;
    const fs::path prefix = folder / "prefix with space";
    const fs::path log = folder / "log.txt";
    const auto [installed, output] =
        run(std::string("'") + LUMSIFT_CMAKE + "' --install '" + LUMSIFT_BINARY_DIR +
                "' --prefix '" + prefix.string() + "'",
            log);
    ASSERT_EQ(installed, 0) << output;

    const fs::path bundle = prefix / "Lumsift.app/Contents";
    for (const fs::path& file :
         {fs::path("MacOS/Lumsift"), fs::path("Info.plist"),
          fs::path("Resources/org.lumsift.Lumsift.desktop"), fs::path("Resources/README.md"),
          fs::path("Resources/icons/hicolor/256x256/apps/org.lumsift.Lumsift.png")})
        EXPECT_TRUE(fs::is_regular_file(bundle / file)) << file;
    for (const char* size :
         {"16x16", "22x22", "24x24", "32x32", "48x48", "64x64", "128x128", "256x256", "512x512"})
        EXPECT_TRUE(fs::is_regular_file(prefix / "share/icons/hicolor" / size /
                                        "apps/org.lumsift.Lumsift.png"))
            << size;
    EXPECT_TRUE(
        fs::is_regular_file(prefix / "share/icons/hicolor/scalable/apps/org.lumsift.Lumsift.svg"));

    const fs::path entry = prefix / "share/applications/org.lumsift.Lumsift.desktop";
    const std::string text = testimages::readBytes(entry);
    const std::string program = (bundle / "MacOS/Lumsift").string();
    EXPECT_NE(text.find("\nExec=\"" + program + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nTryExec=" + program + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nIcon=org.lumsift.Lumsift\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nCategories=Graphics;Photography;\n"), std::string::npos) << text;
    EXPECT_EQ(testimages::readBytes(bundle / "Resources/org.lumsift.Lumsift.desktop"), text);

    const fs::path metainfo = prefix / "share/metainfo/org.lumsift.Lumsift.metainfo.xml";
    ASSERT_TRUE(fs::is_regular_file(metainfo));
    bool validated = false;
    if (fs::exists("/usr/bin/desktop-file-validate")) {
        const auto [status, said] =
            run("/usr/bin/desktop-file-validate '" + entry.string() + "'", log);
        EXPECT_EQ(status, 0) << said;
        validated = true;
    }
    if (fs::exists("/usr/bin/appstreamcli")) {
        const auto [status, said] =
            run("/usr/bin/appstreamcli validate --no-net '" + metainfo.string() + "'", log);
        EXPECT_EQ(status, 0) << said;
        validated = true;
    }
    if (!validated)
        GTEST_SKIP() << "desktop-file-validate and appstreamcli are not installed";
}

} // namespace
} // namespace lumsift
