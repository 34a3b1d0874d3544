// The Library folders: the user's from the XDG setting or the home folder, then the machine's.
#include "platform/folders/LibraryFolders.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

TEST(LibraryFolders, UserFolderFollowsTheXdgSettingWhenItIsAbsolute) {
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_DATA_HOME", "/data/share", 1);
    EXPECT_EQ(folders::userLibraryDirectory(), "/data/share");
    setenv("XDG_DATA_HOME", "~/share", 1);
    EXPECT_EQ(folders::userLibraryDirectory(), "/home/someone/share");
    setenv("XDG_DATA_HOME", "relative/share", 1); // ignored, as the base-directory rules say
    EXPECT_EQ(folders::userLibraryDirectory(), "/home/someone/.local/share");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(folders::userLibraryDirectory(), "/home/someone/.local/share");
}

TEST(LibraryFolders, UserFolderComesBeforeTheMachines) {
    setenv("XDG_DATA_HOME", "/data/share", 1);
    const std::vector<std::filesystem::path> expected = {"/data/share", "/usr/local/share"};
    EXPECT_EQ(folders::libraryDirectories(), expected);
}

} // namespace
} // namespace lumsift
