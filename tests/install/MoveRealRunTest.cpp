// One real move, as an ordinary user with a home of its own: the real start-up, folders, copy and
// relaunch; only the offer is answered by the program itself (MoveRealRun.cpp).
#include "tests/support/ChildProcess.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

namespace fs = std::filesystem;

// The old process holds a stray descriptor without close-on-exec; the relaunched copy inherits
// none of it. Times are kept; the old bundle goes; the user's menu entry follows the bundle.
TEST(MoveRealRun, OrdinaryUserMovesTheBundleAndTheNewCopyStartsWithNothingInherited) {
    testing::PrivateHome home;
    const fs::path source = home.home() / "Downloads/Lumsift.app";
    const fs::path destination = home.home() / "Applications/Lumsift.app";
    fs::create_directories(source / "Contents/MacOS");
    fs::create_directories(source / "Contents/Resources");
    fs::copy_file(LUMSIFT_MOVE_RUN, source / "Contents/MacOS/Lumsift");
    fs::copy_file(LUMSIFT_BINARY_DIR "/app/Info.plist", source / "Contents/Info.plist");
    fs::copy_file(LUMSIFT_BINARY_DIR "/app/org.lumsift.Lumsift.desktop",
                  source / "Contents/Resources/org.lumsift.Lumsift.desktop");
    fs::copy(LUMSIFT_BINARY_DIR "/app/icons", source / "Contents/Resources/icons",
             fs::copy_options::recursive);
    fs::create_directories(home.home() / "Applications/Other.app");
    const timespec old{1000000000, 0}, times[2] = {old, old};
    ASSERT_EQ(::utimensat(AT_FDCWD, (source / "Contents/Info.plist").c_str(), times, 0), 0);
    home.handToOrdinaryUser();

    const fs::path report = home.root() / "report.txt";
    const fs::path output = home.root() / "output.txt";
    auto environment = home.environment();
    environment.push_back("LUMSIFT_MOVE_REPORT=" + report.string());
    testing::ChildProcess run(source / "Contents/MacOS/Lumsift", environment, output,
                              /*strayDescriptor=*/true);
    const auto status = run.waitForExit(60s);
    ASSERT_TRUE(status) << testimages::readBytes(output);
    EXPECT_EQ(*status, 0) << testimages::readBytes(output);
    ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(report); }, 30s))
        << testimages::readBytes(output);

    EXPECT_EQ(testimages::readBytes(report),
              "fds: 0 1 2\nexe: " + (destination / "Contents/MacOS/Lumsift").string() + "\n");
    EXPECT_NE(
        testimages::readBytes(output).find("INFO -- Moving myself to the Applications folder"),
        std::string::npos);
    EXPECT_FALSE(fs::exists(source));
    struct stat moved {};
    ASSERT_EQ(::stat((destination / "Contents/Info.plist").c_str(), &moved), 0);
    EXPECT_EQ(moved.st_mtim.tv_sec, old.tv_sec);
    EXPECT_EQ(moved.st_uid, testing::ordinaryUser());

    // The menu entry starts the moved copy, with its icon.
    const std::string entry =
        testimages::readBytes(home.data() / "applications/org.lumsift.Lumsift.desktop");
    EXPECT_NE(entry.find("\nExec=\"" + (destination / "Contents/MacOS/Lumsift").string() + "\"\n"),
              std::string::npos)
        << entry;
    EXPECT_NE(
        entry.find("\nIcon=" + destination.string() +
                   "/Contents/Resources/icons/hicolor/256x256/apps/org.lumsift.Lumsift.png\n"),
        std::string::npos)
        << entry;
}

} // namespace
} // namespace lumsift
