// Disk images as loop devices: the loop list in the disk-image tool's shape and the walk over it.
#include "install/DiskImages.h"

#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace lumsift::install {
namespace {

// Each loop device an image of its own, with its partitions; names only, in order.
TEST(DiskImages, LoopListBecomesImagesWithTheirPartitions) {
    const testimages::TempDir sysBlock;
    std::filesystem::create_directories(sysBlock / "loop3/loop3p1");
    std::filesystem::create_directories(sysBlock / "loop3/queue");
    const auto info = imageInfoFromLoopDevices(
        R"({"loopdevices": [{"name": "/dev/loop0", "back-file": "/a.img"},
                            {"name": "/dev/loop3", "back-file": "/b b.img"}]})",
        sysBlock.path());
    ASSERT_TRUE(info);
    EXPECT_EQ(diskImageDeviceIn(info->get(), "/dev/loop0"), "/dev/loop0");
    EXPECT_EQ(diskImageDeviceIn(info->get(), "/dev/loop3p1"), "/dev/loop3p1");
    EXPECT_FALSE(diskImageDeviceIn(info->get(), "/dev/loop3p"));
    EXPECT_FALSE(diskImageDeviceIn(info->get(), "/dev/queue"));
    EXPECT_FALSE(diskImageDeviceIn(nullptr, "/dev/loop0"));
}

// Output that is no loop list gives nothing, and the walk stops at the first value of the wrong
// kind: a first image whose "system-entities" is no array, an entry without a name.
TEST(DiskImages, OutputThatIsNoLoopListOrAValueOfTheWrongKindGivesNothing) {
    for (const char* output : {"", "losetup: cannot find", R"({"devices": []})"})
        EXPECT_FALSE(imageInfoFromLoopDevices(output)) << output;
    const auto empty = imageInfoFromLoopDevices(R"({"loopdevices": []})");
    ASSERT_TRUE(empty);
    EXPECT_FALSE(diskImageDeviceIn(empty->get(), "/dev/loop0"));
    EXPECT_FALSE(diskImageDevice(std::nullopt)); // the root volume: losetup is not asked

    const auto info = plist::Plist::parse(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>images</key><array>
 <dict><key>system-entities</key><string>not an array</string></dict>
 <dict><key>system-entities</key><array><dict><key>dev-entry</key><string>/dev/loop2</string></dict></array></dict>
</array></dict></plist>)");
    ASSERT_TRUE(info);
    EXPECT_FALSE(diskImageDeviceIn(info->get(), "/dev/loop2"));
    const auto nameless = imageInfoFromLoopDevices(
        R"({"loopdevices": [{"back-file": "/a"}, {"name": "/dev/loop1"}]})");
    ASSERT_TRUE(nameless);
    EXPECT_FALSE(diskImageDeviceIn(nameless->get(), "/dev/loop1"));
}

TEST(DiskImages, MountedDeviceOfAVolumeButNotOfTheRoot) {
    EXPECT_FALSE(mountedDeviceOf("/"));
    EXPECT_FALSE(mountedDeviceOf("/nonexistent/folder"));
    struct stat root {
    }, proc{};
    ASSERT_EQ(::stat("/", &root), 0);
    ASSERT_EQ(::stat("/proc", &proc), 0);
    if (root.st_dev == proc.st_dev)
        GTEST_SKIP() << "/proc is not a volume of its own here";
    EXPECT_EQ(mountedDeviceOf("/proc"), "proc");
}

TEST(DiskImages, PartitionsDetachThroughTheirWholeLoopDevice) {
    EXPECT_EQ(wholeLoopDevice("/dev/loop3p1"), "/dev/loop3");
    EXPECT_EQ(wholeLoopDevice("/dev/loop12"), "/dev/loop12");
    EXPECT_EQ(wholeLoopDevice("/dev/sdb1"), "/dev/sdb1");
}

} // namespace
} // namespace lumsift::install
