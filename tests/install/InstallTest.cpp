// `cmake --install` into a prefix of the test's own: the bundle, and for the desktop its entry,
// icon theme and metainfo, which the freedesktop tools accept where they are installed; under a
// prefix that the desktop does not read, one more entry where the menu finds it. The metainfo
// names the web pages given when building.
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace lumsift {
namespace {

namespace fs = std::filesystem;

// Runs `command` (a shell line made of our own paths) and returns its exit status and output.
std::pair<int, std::string> run(const std::string& command, const fs::path& output) {
    const int status = std::system((command + " > '" + output.string() + "' 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testimages::readBytes(output)};
}

// The entry that the machine's menu reads when the prefix's own folder is not one it reads.
const fs::path kMachineEntry = "/usr/local/share/applications/org.lumsift.Lumsift.desktop";

// Installs the build tree under `prefix` with `variable` set to `value` in the environment; the
// exit status and output of `cmake --install`, the machine's entry untouched.
std::pair<int, std::string> install(const fs::path& prefix, const std::string& variable,
                                    const fs::path& value, const fs::path& log) {
    const bool machineHadEntry = fs::exists(kMachineEntry);
    auto result = run(variable + "='" + value.string() + "' '" + LUMSIFT_CMAKE + "' --install '" +
                          LUMSIFT_BINARY_DIR + "' --prefix '" + prefix.string() + "'",
                      log);
    EXPECT_EQ(fs::exists(kMachineEntry), machineHadEntry);
    return result;
}

// A prefix that the desktop reads (here as the user's data home, like ~/.local) gets everything,
// and no entry is written anywhere else.
TEST(Install, PrefixGetsTheBundleAndItsEntryIconsAndMetainfo) {
    const testimages::TempDir folder;
    const fs::path prefix = folder / "prefix with space";
    const fs::path log = folder / "log.txt";
    const auto [installed, output] = install(prefix, "XDG_DATA_HOME", prefix / "share", log);
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
    EXPECT_EQ(testimages::readBytes(metainfo).find("example.org"), std::string::npos)
        << "no placeholder address ships";
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

// Under a prefix whose share folder the desktop does not read (/opt), the install also puts the
// entry where the menu finds it, /usr/local/share/applications here (installed into DESTDIR),
// starting the bundle and showing its icon by their paths.
TEST(Install, PrefixOutsideTheDesktopsFoldersGetsAnEntryWhereTheMenuFindsIt) {
    const testimages::TempDir folder;
    const fs::path stage = folder / "stage";
    const fs::path log = folder / "log.txt";
    const auto [installed, output] = install("/opt/lumsift", "DESTDIR", stage, log);
    ASSERT_EQ(installed, 0) << output;

    const fs::path bundle = "/opt/lumsift/Lumsift.app/Contents";
    const fs::path icon = bundle / "Resources/icons/hicolor/256x256/apps/org.lumsift.Lumsift.png";
    EXPECT_TRUE(fs::is_regular_file(stage.string() + (bundle / "MacOS/Lumsift").string()));
    EXPECT_TRUE(fs::is_regular_file(stage.string() + icon.string()));
    EXPECT_TRUE(
        fs::is_regular_file(stage / "opt/lumsift/share/applications/org.lumsift.Lumsift.desktop"));
    const fs::path entry = stage.string() + kMachineEntry.string();
    const std::string text = testimages::readBytes(entry);
    EXPECT_NE(text.find("\nExec=\"" + (bundle / "MacOS/Lumsift").string() + "\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nIcon=" + icon.string() + "\n"), std::string::npos) << text;
    if (fs::exists("/usr/bin/desktop-file-validate")) {
        const auto [status, said] =
            run("/usr/bin/desktop-file-validate '" + entry.string() + "'", log);
        EXPECT_EQ(status, 0) << said;
    }
}

// Which folder gets that entry: none when the desktop reads the prefix's share folder (the
// machine's, or the user's data home); else the one chosen when building; else the machine's when
// installing as root or into DESTDIR, the user's own otherwise.
TEST(Install, MenuEntryFolderForEachPrefixAndUser) {
    const testimages::TempDir folder;
    const std::string machine = "/usr/local/share/applications",
                      users = "/home/someone/.local/share/applications";
    const struct {
        std::string prefix, chosen, destdir, dataHome;
        bool asOrdinaryUser;
        std::string folder;
    } rows[] = {
        {"/usr/local", "", "", "", false, ""},
        {"/usr/", "", "", "", false, ""},
        {"/home/someone/.local", "", "", "", true, ""},
        {"/srv/apps", "", "", "/srv/apps/share", true, ""},
        {"/opt/lumsift", "/srv/menu", "", "", false, "/srv/menu"},
        {"/opt/lumsift", "", "/tmp/stage", "", true, machine},
        {"/opt/lumsift", "", "", "", true, users},
        {"/opt/lumsift", "", "", "", false, ::geteuid() == 0 ? machine : users},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prefix + (row.asOrdinaryUser ? " as an ordinary user" : ""));
        testimages::writeBytes(
            folder / "choose.cmake",
            "cmake_minimum_required(VERSION 3.25)\n"
            "include(\"" LUMSIFT_SOURCE_DIR "/app/resources/DesktopEntry.cmake\")\n"
            "set(ENV{HOME} /home/someone)\nset(ENV{XDG_DATA_HOME} [==[" +
                row.dataHome + "]==])\nset(ENV{DESTDIR} [==[" + row.destdir +
                "]==])\nlumsift_menu_entries_folder([==[" + row.prefix + "]==] [==[" + row.chosen +
                "]==] folder)\nmessage(\"folder=[${folder}]\")\n");
        const std::string user =
            row.asOrdinaryUser && ::geteuid() == 0 ? "/usr/sbin/runuser -u nobody -- " : "";
        const auto [status, output] =
            run(user + "'" + LUMSIFT_CMAKE + "' -P '" + (folder / "choose.cmake").string() + "'",
                folder / "out.txt");
        ASSERT_EQ(status, 0) << output;
        EXPECT_NE(output.find("folder=[" + row.folder + "]"), std::string::npos) << output;
    }
}

// The metainfo, written by the build's own CMake code, names the web pages given when building:
// the product page as the homepage, with the screenshots published below it, and the support
// page as help. A page not given, or no web page (mailto:), is left out. Each one validates.
TEST(Install, MetainfoNamesOnlyTheWebPagesGivenWhenBuilding) {
    const testimages::TempDir folder;
    const struct {
        std::string product, support;
        std::vector<std::string> urls;
        std::string screenshots; // where they are published; empty: none named
    } rows[] = {
        {"", "", {}, ""},
        {"https://example.com/lumsift/",
         "https://example.com/help?topic=lumsift&lang=en",
         {R"(<url type="homepage">https://example.com/lumsift/</url>)",
          R"(<url type="help">https://example.com/help?topic=lumsift&amp;lang=en</url>)"},
         "https://example.com/lumsift/screenshots/"},
        {"http://example.com/lumsift?from=menu#top",
         "mailto:help@example.com",
         {R"(<url type="homepage">http://example.com/lumsift?from=menu#top</url>)"},
         "http://example.com/lumsift/screenshots/"},
        {"",
         "https://example.com/support",
         {R"(<url type="help">https://example.com/support</url>)"},
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.product + " " + row.support);
        const fs::path metainfo = folder / "org.lumsift.Lumsift.metainfo.xml";
        fs::remove(metainfo);
        testimages::writeBytes(folder / "write.cmake",
                               "cmake_minimum_required(VERSION 3.25)\n"
                               "include(\"" LUMSIFT_SOURCE_DIR "/app/resources/Metainfo.cmake\")\n"
                               "set(LUMSIFT_PRODUCT_PAGE_URL [==[" +
                                   row.product + "]==])\nset(LUMSIFT_SUPPORT_PAGE_URL [==[" +
                                   row.support +
                                   "]==])\nlumsift_write_metainfo(\"" LUMSIFT_SOURCE_DIR
                                   "/app/resources/org.lumsift.Lumsift.metainfo.xml.in\" \"" +
                                   metainfo.string() + "\" 1.2.3)\n");
        const auto [written, output] = run(std::string("'") + LUMSIFT_CMAKE + "' -P '" +
                                               (folder / "write.cmake").string() + "'",
                                           folder / "out.txt");
        ASSERT_EQ(written, 0) << output;
        const std::string text = testimages::readBytes(metainfo);
        EXPECT_NE(text.find(R"(<release version="1.2.3")"), std::string::npos) << text;
        std::size_t urls = 0;
        for (auto at = text.find("<url "); at != std::string::npos; at = text.find("<url ", at + 1))
            ++urls;
        EXPECT_EQ(urls, row.urls.size()) << text;
        for (const std::string& url : row.urls)
            EXPECT_NE(text.find(url), std::string::npos) << text;
        if (row.screenshots.empty()) {
            EXPECT_EQ(text.find("<screenshot"), std::string::npos) << text;
        } else {
            for (const char* picture : {"loading-page.png", "results-page.png"})
                EXPECT_NE(text.find("<image>" + row.screenshots + picture + "</image>"),
                          std::string::npos)
                    << text;
        }
        if (fs::exists("/usr/bin/appstreamcli")) {
            const auto [status, said] =
                run("/usr/bin/appstreamcli validate --no-net '" + metainfo.string() + "'",
                    folder / "out.txt");
            EXPECT_EQ(status, 0) << said;
        }
    }
}

} // namespace
} // namespace lumsift
