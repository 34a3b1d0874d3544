// Staging folders of imports: a live importer's folder is never taken for an abandoned one, also
// while the importer is removing it; a dead importer's folder is found.
#include "photolib/ImportStaging.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <fstream>

namespace lumsift::photolib {
namespace {

namespace fs = std::filesystem;

TEST(ImportStaging, OnlyFoldersWhoseImporterIsGoneAreAbandoned) {
    testimages::TempDir package;
    std::optional<ImportStaging> live(ImportStaging::make(package.path()));
    const fs::path folder = live->folder();
    std::ofstream(live->stagedPath("Project/a.jpg").string()) << "copy";
    EXPECT_TRUE(abandonedStagings(package.path()).empty());

    // Its importer removes the folder after the commit: whatever it has already removed, the
    // folder is still its own.
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file())
            fs::remove(entry.path());
    EXPECT_TRUE(abandonedStagings(package.path()).empty());

    // A folder whose importer died before it could lock it, and the live one once it is gone.
    const fs::path dead = package / ".import-dead00";
    fs::create_directories(dead / "Project");
    live.reset();
    const auto abandoned = abandonedStagings(package.path());
    ASSERT_EQ(abandoned.size(), 1u);
    EXPECT_EQ(abandoned[0].folder, dead);
    EXPECT_FALSE(fs::exists(folder));
}

} // namespace
} // namespace lumsift::photolib
