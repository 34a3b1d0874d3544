// Real moves with a home of their own: as an ordinary user, the real start-up, folders, copy and
// relaunch; as root, from a disk image that the move then unmounts and detaches. Only the offer is
// answered by the program itself (MoveRealRun.cpp).
#include "platform/process/Process.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace lumsift {
namespace {

namespace fs = std::filesystem;

// Lays out a bundle at `bundle` that runs the move-answering Lumsift.
void layOutBundle(const fs::path& bundle) {
    fs::create_directories(bundle / "Contents/MacOS");
    fs::create_directories(bundle / "Contents/Resources");
    fs::copy_file(LUMSIFT_MOVE_RUN, bundle / "Contents/MacOS/Lumsift");
    fs::copy_file(LUMSIFT_BINARY_DIR "/app/Info.plist", bundle / "Contents/Info.plist");
    fs::copy_file(LUMSIFT_BINARY_DIR "/app/org.lumsift.Lumsift.desktop",
                  bundle / "Contents/Resources/org.lumsift.Lumsift.desktop");
    fs::copy(LUMSIFT_BINARY_DIR "/app/icons", bundle / "Contents/Resources/icons",
             fs::copy_options::recursive);
}

// Runs a system tool; its standard output, or nullopt when it is missing or does not exit 0.
std::optional<std::string> runTool(std::string_view name, std::vector<std::string> arguments) {
    const auto program = process::systemRunner().findProgram(name);
    if (!program)
        return std::nullopt;
    const auto run = process::systemRunner().runAndCapture({*program, std::move(arguments)});
    if (!run || !WIFEXITED(run->waitStatus) || WEXITSTATUS(run->waitStatus) != 0)
        return std::nullopt;
    return run->standardOutput;
}

// An ext2 image file attached to a loop device and mounted, made as root. Whatever is left of it
// (a mount, the loop device) goes when this does, however the test ended.
class MountedImage {
public:
    MountedImage(const fs::path& file, const fs::path& mountPoint, std::uintmax_t size)
        : file_(file) {
        if (::geteuid() != 0) {
            reason_ = "only root may attach and mount a disk image";
            return;
        }
        if (!fs::exists("/dev/loop-control")) {
            reason_ = "no loop devices here (/dev/loop-control is missing)";
            return;
        }
        std::ofstream(file).close();
        fs::resize_file(file, size);
        if (!runTool("mkfs.ext2", {"-q", "-F", file.string()})) {
            reason_ = "mkfs.ext2 (package e2fsprogs) is missing or failed";
            return;
        }
        const auto attached = runTool("losetup", {"--find", "--show", file.string()});
        if (!attached || attached->size() < 2) {
            reason_ = "losetup could not attach " + file.string() + " to a loop device";
            return;
        }
        device_ = attached->substr(0, attached->find('\n'));
        struct stat status {};
        if (::stat(device_.c_str(), &status) != 0) {
            reason_ = "no device node " + device_;
            return;
        }
        majorMinor_ =
            std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
        fs::create_directories(mountPoint);
        if (!runTool("mount", {device_, mountPoint.string()}))
            reason_ = "mount could not mount " + device_;
    }
    ~MountedImage() {
        for (int i = 0; i < 10 && mounted(); ++i)
            runTool("umount", {"--lazy", device_});
        for (const auto& device : attachedDevices())
            runTool("losetup", {"--detach", device});
    }
    MountedImage(const MountedImage&) = delete;
    MountedImage& operator=(const MountedImage&) = delete;

    // Why the image could not be made and mounted; empty when it is.
    const std::string& reason() const { return reason_; }

    // Whether any file system of the device is mounted, in this namespace.
    bool mounted() const {
        std::ifstream mountinfo("/proc/self/mountinfo");
        for (std::string id, parent, device, rest; mountinfo >> id >> parent >> device;) {
            if (!majorMinor_.empty() && device == majorMinor_)
                return true;
            std::getline(mountinfo, rest);
        }
        return false;
    }

    // The loop devices that the image file is attached to.
    std::vector<std::string> attachedDevices() const {
        std::vector<std::string> devices;
        std::istringstream lines(runTool("losetup", {"--associated", file_.string()}).value_or(""));
        for (std::string line; std::getline(lines, line);)
            devices.push_back(line.substr(0, line.find(':')));
        return devices;
    }

private:
    fs::path file_;
    std::string device_, majorMinor_, reason_;
};

// The old process holds a stray descriptor without close-on-exec; the relaunched copy inherits
// none of it. Times are kept; the old bundle goes; the user's menu entry follows the bundle.
TEST(MoveRealRun, OrdinaryUserMovesTheBundleAndTheNewCopyStartsWithNothingInherited) {
    testing::PrivateHome home;
    const fs::path source = home.home() / "Downloads/Lumsift.app";
    const fs::path destination = home.home() / "Applications/Lumsift.app";
    layOutBundle(source);
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

// Run from a bundle on a mounted disk image (its mount point holding a blank and a quote), the move
// copies the bundle, and a few seconds after the relaunch no file system of the image is mounted
// and its loop device is gone, without a warning.
TEST(MoveRealRun, DiskImageIsUnmountedAndDetachedAfterTheMove) {
    const testing::PrivateHome home;
    const fs::path mountPoint = home.root() / "Lumsift's Disk";
    const MountedImage image(home.root() / "Lumsift.img", mountPoint,
                             ((fs::file_size(LUMSIFT_MOVE_RUN) >> 20) + 32) << 20);
    if (!image.reason().empty())
        GTEST_SKIP() << image.reason();
    layOutBundle(mountPoint / "Lumsift.app");
    fs::create_directories(home.home() / "Applications/Other.app");

    const fs::path report = home.root() / "report.txt";
    const fs::path output = home.root() / "output.txt";
    auto environment = home.environment();
    environment.push_back("LUMSIFT_MOVE_REPORT=" + report.string());
    testing::ChildProcess run(mountPoint / "Lumsift.app/Contents/MacOS/Lumsift", environment,
                              output, /*strayDescriptor=*/false, /*asOrdinaryUser=*/false);
    const auto status = run.waitForExit(60s);
    ASSERT_TRUE(status) << testimages::readBytes(output);
    EXPECT_EQ(*status, 0) << testimages::readBytes(output);
    ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(report); }, 30s))
        << testimages::readBytes(output);

    EXPECT_TRUE(testing::waitUntil(
        [&] { return !image.mounted() && image.attachedDevices().empty(); }, 30s))
        << testimages::readBytes(output);
    EXPECT_TRUE(fs::exists(home.home() / "Applications/Lumsift.app/Contents/MacOS/Lumsift"));
    EXPECT_EQ(testimages::readBytes(output).find("WARNING --"), std::string::npos)
        << testimages::readBytes(output);
}

} // namespace
} // namespace lumsift
