// The information property list: the keys the crash reporter and the bundle readers rely on,
// beside the built program, and the addresses given when building, each written as its key or,
// when not given, left out.
#include "platform/bundle/Bundle.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;

// The addresses' keys, in the order of the build's variables LUMSIFT_CRASH_SUBMISSION_URL,
// LUMSIFT_PRODUCT_PAGE_URL and LUMSIFT_SUPPORT_PAGE_URL.
constexpr const char* kAddressKeys[] = {"KTWCrashReporterCrashSubmissionURL",
                                        "LumsiftProductPageURL", "LumsiftSupportPageURL"};

std::optional<std::string> given(const std::string& address) {
    return address.empty() ? std::nullopt : std::optional(address);
}

TEST(InfoPlist, BesideTheProgramWithTheBundleKeys) {
    const Bundle bundle = Bundle::forExecutable(LUMSIFT_BINARY_DIR "/app/Lumsift");
    for (const char* key : {"CFBundleName", "CFBundleExecutable", "ValidatedTitle"})
        EXPECT_EQ(bundle.infoString(key), "Lumsift") << key;
    EXPECT_EQ(bundle.infoString("CFBundleIdentifier"), "org.lumsift.Lumsift");
    EXPECT_FALSE(bundle.infoString("CFBundleVersion").value_or("").empty());
    EXPECT_FALSE(bundle.infoString("CFBundleShortVersionString").value_or("").empty());
    // The addresses this build was given, and no others.
    const std::string built[] = {LUMSIFT_BUILT_CRASH_SUBMISSION_URL, LUMSIFT_BUILT_PRODUCT_PAGE_URL,
                                 LUMSIFT_BUILT_SUPPORT_PAGE_URL};
    for (std::size_t i = 0; i < std::size(kAddressKeys); ++i)
        EXPECT_EQ(bundle.infoString(kAddressKeys[i]), given(built[i])) << kAddressKeys[i];
}

// Written as the build writes it, by the build's own CMake code: all three addresses, none, one;
// an address that is no absolute URL stops the build with the variable's name.
TEST(InfoPlist, AddressesGivenWhenBuildingBecomeKeys) {
    const testimages::TempDir folder;
    const struct {
        std::string addresses[3]; // crash submission, product page, support page
        bool written;
    } rows[] = {
        {{"https://reports.example.com/submit?app=lumsift&v=1", "https://example.com/lumsift",
          "mailto:help@example.com"},
         true},
        {{"", "", ""}, true},
        {{"", "", "https://example.com/support"}, true},
        {{"reports.example.com/submit", "", ""}, false},
        {{"", "https://example.com/a b", ""}, false},
    };
    const char* variables[] = {"LUMSIFT_CRASH_SUBMISSION_URL", "LUMSIFT_PRODUCT_PAGE_URL",
                               "LUMSIFT_SUPPORT_PAGE_URL"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.addresses[0] + " " + row.addresses[1] + " " + row.addresses[2]);
        const fs::path plist = folder / "Info.plist";
        fs::remove(plist);
        // With the project's policies, as when configuring.
        std::string script = "cmake_minimum_required(VERSION 3.25)\n"
                             "include(\"" LUMSIFT_SOURCE_DIR "/app/InfoPlist.cmake\")\n";
        for (std::size_t i = 0; i < std::size(variables); ++i)
            script += std::string("set(") + variables[i] + " [==[" + row.addresses[i] + "]==])\n";
        script += "lumsift_write_info_plist(\"" LUMSIFT_SOURCE_DIR "/app/Info.plist.in\" \"" +
                  plist.string() + "\" 1.2.3 1.2)\n";
        testimages::writeBytes(folder / "write.cmake", script);
        const int status = std::system((std::string("'") + LUMSIFT_CMAKE + "' -P '" +
                                        (folder / "write.cmake").string() + "' > '" +
                                        (folder / "out.txt").string() + "' 2>&1")
                                           .c_str());
        const std::string output = testimages::readBytes(folder / "out.txt");
        if (!row.written) {
            EXPECT_NE(status, 0);
            EXPECT_NE(output.find(row.addresses[0].empty() ? variables[1] : variables[0]),
                      std::string::npos)
                << output;
            EXPECT_FALSE(fs::exists(plist));
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        const Bundle bundle = Bundle::forExecutable(folder / "Lumsift");
        EXPECT_EQ(bundle.infoString("CFBundleVersion"), "1.2.3");
        EXPECT_EQ(bundle.infoString("CFBundleShortVersionString"), "1.2");
        EXPECT_EQ(bundle.infoString("CFBundleName"), "Lumsift");
        for (std::size_t i = 0; i < std::size(kAddressKeys); ++i)
            EXPECT_EQ(bundle.infoString(kAddressKeys[i]), given(row.addresses[i]))
                << kAddressKeys[i];
    }
}

} // namespace
} // namespace lumsift
