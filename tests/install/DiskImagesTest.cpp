// Disk images as loop devices: the loop list in the disk-image tool's shape, the walk over it, and
// the script that unmounts and detaches an image.
#include "install/DiskImages.h"

#include "install/MoveToApplicationsFolder.h"
#include "platform/process/Process.h"
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

// The detach script run by the real /bin/sh over a stand-in /sys/block and mount table, its
// programs recording each call, one argument a word: every mount of the loop device and of its
// partitions is unmounted (through udisksctl, else umount), then the loop device deleted (through
// udisksctl, else losetup); a step that fails leaves a WARNING line on standard error and in
// syslog. The device's name holds a blank and a quote.
TEST(DiskImages, DetachUnmountsEveryFileSystemOfTheImageThenDeletesItsLoopDevice) {
    namespace fs = std::filesystem;
    const testimages::TempDir folder;
    const fs::path bin = folder / "bin", sysBlock = folder / "block", calls = folder / "calls",
                   errors = folder / "errors";
    const std::string loop = "loop 7'", whole = "/dev/" + loop, p1 = whole + "p1";
    testimages::writeBytes(sysBlock / loop / "dev", "7:7\n");
    testimages::writeBytes(sysBlock / loop / (loop + "p1/dev"), "259:1\n");
    testimages::writeBytes(sysBlock / loop / (loop + "p2/dev"), "259:2\n");
    // The whole device and its first partition, that one twice (a bind mount); another device.
    const auto mountinfo = testimages::writeBytes(
        folder / "mountinfo", "22 1 0:21 / /proc rw - proc proc rw\n"
                              "40 1 259:1 / /media/Lumsift\\040Disk rw - ext2 /dev/x rw\n"
                              "41 1 7:70 / /other rw - ext2 /dev/loop70 rw\n"
                              "42 1 7:7 / /whole rw - ext2 /dev/x rw\n"
                              "43 40 259:1 /sub /bound rw - ext2 /dev/x rw\n");
    const auto noMounts = testimages::writeBytes(folder / "no-mounts", "");

    // Each program records its call, prints to standard output, and exits with the number in its
    // .status file; date prints "T".
    const auto program = [&](const std::string& name) {
        const std::string record = " >>" + QuoteForShell(calls.string());
        const auto path = testimages::writeBytes(
            bin / name, "#!/bin/sh\nprintf %s " + name + record +
                            "\nfor a; do printf ' <%s>' \"$a\"; done" + record + "\necho" + record +
                            "\necho out\nexit $(cat \"$0.status\" 2>/dev/null)\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    };
    DetachPrograms programs{program("udisksctl"), program("umount"), program("losetup"),
                            program("logger"),
                            testimages::writeBytes(bin / "date", "#!/bin/sh\necho T\n")};
    fs::permissions(*programs.date, fs::perms::owner_all);

    const auto unmounts = [&](bool udisks, bool umount, bool failing) {
        std::string text;
        for (const auto& device : {whole, p1, p1}) {
            if (udisks)
                text += "udisksctl <unmount> <--no-user-interaction> <-b> <" + device + ">\n";
            if (umount)
                text += "umount <" + device + ">\n";
            if (failing)
                text += "logger <-t> <Lumsift> <--id=4242> <--> <WARNING -- Could not unmount " +
                        device + ">\n";
        }
        return text;
    };
    const std::string udisksDelete =
        "udisksctl <loop-delete> <--no-user-interaction> <-b> <" + whole + ">\n";
    const std::string losetupDelete = "losetup <-d> <" + whole + ">\n";
    const std::string detachFailed = "WARNING -- Could not detach the disk image " + whole;

    const struct {
        const char* name;
        bool udisks, attached;
        int udisksStatus, fallbackStatus;
        std::string calls, errors;
    } cases[] = {
        {"udisks", true, true, 0, 0, unmounts(true, false, false) + udisksDelete, ""},
        {"no udisks", false, true, 0, 0, unmounts(false, true, false) + losetupDelete, ""},
        {"udisks fails, the fallbacks do not", true, true, 1, 0,
         unmounts(true, true, false) + udisksDelete + losetupDelete, ""},
        {"every step fails", true, true, 1, 32,
         unmounts(true, true, true) + udisksDelete + losetupDelete +
             "logger <-t> <Lumsift> <--id=4242> <--> <" + detachFailed + ">\n",
         "T Lumsift[4242] WARNING -- Could not unmount " + whole +
             "\nT Lumsift[4242] WARNING -- Could not unmount " + p1 +
             "\nT Lumsift[4242] WARNING -- Could not unmount " + p1 + "\nT Lumsift[4242] " +
             detachFailed + "\n"},
        {"ejected meanwhile: nothing mounted, no loop device", true, false, 0, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(calls);
        testimages::writeBytes(bin / "udisksctl.status", std::to_string(c.udisksStatus));
        testimages::writeBytes(bin / "umount.status", std::to_string(c.fallbackStatus));
        testimages::writeBytes(bin / "losetup.status", std::to_string(c.fallbackStatus));
        DetachPrograms available = programs;
        if (!c.udisks)
            available.udisksctl.reset();
        fs::remove_all(sysBlock / loop / "loop");
        if (c.attached)
            fs::create_directories(sysBlock / loop / "loop");
        // The device as the bundle's volume gives it: a partition.
        const auto script = detachScript(whole + "p2", available, "Lumsift", 4242, sysBlock,
                                         c.attached ? mountinfo : noMounts);
        ASSERT_TRUE(script);
        const auto run = process::systemRunner().runAndCapture(
            {"/bin/sh", {"-c", *script + " 2>" + QuoteForShell(errors.string())}});
        ASSERT_TRUE(run);
        EXPECT_EQ(run->waitStatus, 0);
        EXPECT_EQ(run->standardOutput, "") << "the tools' own output is not passed on";
        EXPECT_EQ(testimages::readBytes(calls), c.calls);
        EXPECT_EQ(testimages::readBytes(errors), c.errors);
    }

    // Without a program to unmount, or one to delete the loop device, there is no detach.
    DetachPrograms missing = programs;
    missing.udisksctl.reset();
    missing.umount.reset();
    EXPECT_FALSE(detachScript(whole, missing, "Lumsift", 1, sysBlock, mountinfo));
    missing.umount = programs.umount;
    missing.losetup.reset();
    EXPECT_FALSE(detachScript(whole, missing, "Lumsift", 1, sysBlock, mountinfo));
}

} // namespace
} // namespace lumsift::install
