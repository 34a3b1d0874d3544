// The file helpers: existence with the read-access prompt, deletion, comparison.
#include "engine/helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/engine/support/EngineHarness.h"
#include "tests/support/TestImages.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

using testimages::writeBytes;

TEST(helpers, FileExistsAsksForReadAccessToThePackageOrTheFile) {
    testing::EngineHarness h;
    const testimages::TempDir dir;
    const fs::path readable = writeBytes(dir / "a.jpg", "x");
    const fs::path granted = writeBytes(dir / "Lib.aplibrary/Masters/x.jpg", "x");
    const fs::path refused = writeBytes(dir / "Pics.photolibrary/db/x.apdb", "x");
    const fs::path outside = writeBytes(dir / "elsewhere/b.jpg", "x");
    for (const fs::path& file : {granted, refused, outside})
        chmod(file.c_str(), 0);
    h.delegate->onUserSelectedFiles = [&](const std::string&) { chmod(granted.c_str(), 0644); };
    const testing::AsUnprivilegedReader reader;

    // A FIFO, a device or a folder is no file to read, whatever its permissions: no prompt.
    const fs::path fifo = dir / "fifo.jpg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0), 0);
    fs::create_symlink("/dev/zero", dir / "device.jpg");
    fs::create_symlink(readable, dir / "link.jpg");

    EXPECT_TRUE(helpers::fileExists(readable.string(), h.delegate));
    EXPECT_TRUE(helpers::fileExists((dir / "link.jpg").string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists((dir / "missing.jpg").string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists("", h.delegate));
    for (const fs::path& special : {fifo, dir / "device.jpg", dir / "Lib.aplibrary"})
        EXPECT_FALSE(helpers::fileExists(special.string(), h.delegate)) << special;
    EXPECT_TRUE(h.events.events().empty()) << "no prompt for a readable, missing or special file";
    EXPECT_TRUE(helpers::fileExists(granted.string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists(refused.string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists(outside.string(), h.delegate));
    EXPECT_EQ(h.events.events(),
              (Strings{"delegate.userSelectedFiles=" + (dir / "Lib.aplibrary").string(),
                       "delegate.userSelectedFiles=" + (dir / "Pics.photolibrary").string(),
                       "delegate.userSelectedFiles=" + outside.string()}));
}

TEST(helpers, DeleteAndCompare) {
    const testimages::TempDir dir;
    const fs::path a = writeBytes(dir / "a", "same bytes");
    const fs::path b = writeBytes(dir / "b", "same bytes");
    const fs::path c = writeBytes(dir / "c", "other byte");
    EXPECT_TRUE(helpers::compareFiles(a.string(), b.string()));
    EXPECT_FALSE(helpers::compareFiles(a.string(), c.string()));
    EXPECT_FALSE(helpers::compareFiles(a.string(), (dir / "none").string()));
    // Folders compare by their entries, recursively; links by their targets, not followed.
    writeBytes(dir / "one/sub/x", "same bytes");
    writeBytes(dir / "two/sub/x", "same bytes");
    EXPECT_TRUE(helpers::compareFiles((dir / "one").string(), (dir / "two").string()));
    writeBytes(dir / "two/sub/y", "");
    EXPECT_FALSE(helpers::compareFiles((dir / "one").string(), (dir / "two").string()));
    fs::create_symlink(a, dir / "toA");
    fs::create_symlink(a, dir / "alsoToA");
    fs::create_symlink(b, dir / "toB");
    EXPECT_TRUE(helpers::compareFiles((dir / "toA").string(), (dir / "alsoToA").string()));
    EXPECT_FALSE(helpers::compareFiles((dir / "toA").string(), (dir / "toB").string()));
    EXPECT_FALSE(helpers::compareFiles((dir / "toA").string(), a.string()));

    helpers().deleteFileInstance(a.string());
    helpers::deleteFile((dir / "none").string()); // nothing there: ignored
    EXPECT_FALSE(fs::exists(a));
}

TEST(helpers, DeleteFileRemovesAFolderWithItsContentsAndALinkNeverFollowed) {
    const testimages::TempDir dir;
    const fs::path elsewhere = writeBytes(dir / "elsewhere/kept/x", "kept").parent_path();
    const fs::path file = writeBytes(dir / "gone/a.XMP", "sidecar");
    writeBytes(dir / "gone/folder/sub/b", "b");
    writeBytes(dir / "gone/folder/c", "c");
    fs::create_symlink(elsewhere, dir / "gone/folder/sub/inner");
    fs::create_symlink(elsewhere, dir / "gone/link");
    fs::create_symlink(elsewhere, dir / "gone/slashed");

    // A link is removed itself, also when named with a trailing slash.
    for (const std::string& path :
         {file.string(), (dir / "gone/link").string(), (dir / "gone/slashed").string() + "/",
          (dir / "gone/folder").string()})
        helpers::deleteFile(path);
    for (const auto& left : fs::directory_iterator(dir / "gone"))
        ADD_FAILURE() << "left: " << left.path();
    EXPECT_EQ(testimages::readBytes(elsewhere / "x"), "kept");
}

} // namespace
} // namespace lumsift
