// The file helpers: existence with the read-access prompt, deletion, comparison.
#include "engine/helpers.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/engine/support/EngineHarness.h"
#include "tests/support/TestImages.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

fs::path write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

TEST(helpers, FileExistsAsksForReadAccessToThePackageOrTheFile) {
    testing::EngineHarness h;
    const testimages::TempDir dir;
    const fs::path readable = write(dir / "a.jpg", "x");
    const fs::path granted = write(dir / "Lib.aplibrary/Masters/x.jpg", "x");
    const fs::path refused = write(dir / "Pics.photolibrary/db/x.apdb", "x");
    const fs::path outside = write(dir / "elsewhere/b.jpg", "x");
    for (const fs::path& file : {granted, refused, outside})
        chmod(file.c_str(), 0);
    h.delegate->onUserSelectedFiles = [&](const std::string&) { chmod(granted.c_str(), 0644); };
    const testing::AsUnprivilegedReader reader;

    EXPECT_TRUE(helpers::fileExists(readable.string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists((dir / "missing.jpg").string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists("", h.delegate));
    EXPECT_TRUE(h.events.events().empty()) << "no prompt for a readable or missing file";
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
    const fs::path a = write(dir / "a", "same bytes");
    const fs::path b = write(dir / "b", "same bytes");
    const fs::path c = write(dir / "c", "other byte");
    EXPECT_TRUE(helpers::compareFiles(a.string(), b.string()));
    EXPECT_FALSE(helpers::compareFiles(a.string(), c.string()));
    EXPECT_FALSE(helpers::compareFiles(a.string(), (dir / "none").string()));
    // Folders compare by their entries, recursively; links by their targets, not followed.
    write(dir / "one/sub/x", "same bytes");
    write(dir / "two/sub/x", "same bytes");
    EXPECT_TRUE(helpers::compareFiles((dir / "one").string(), (dir / "two").string()));
    write(dir / "two/sub/y", "");
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

} // namespace
} // namespace lumsift
