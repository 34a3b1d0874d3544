// The Library folders: the user's from the XDG setting or the home folder, then the machine's.
#include "platform/folders/LibraryFolders.h"
#include "tests/support/SavedEnvironment.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace lumsift {
namespace {

// The XDG setting when it is absolute ("~" expanded), else ~/.local/share; then the machine's.
TEST(LibraryFolders, UserFolderFromTheXdgSettingThenTheMachines) {
    const testing::SavedEnvironment saved{"HOME", "XDG_DATA_HOME"};
    setenv("HOME", "/home/someone", 1);
    for (const auto& [setting, expected] :
         {std::pair<const char*, const char*>{"/data/share", "/data/share"},
          {"~/share", "/home/someone/share"},
          {"relative/share", "/home/someone/.local/share"},
          {nullptr, "/home/someone/.local/share"}}) {
        setting != nullptr ? setenv("XDG_DATA_HOME", setting, 1) : unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(folders::userLibraryDirectory(), expected);
    }
    EXPECT_EQ(
        folders::libraryDirectories(),
        (std::vector<std::filesystem::path>{"/home/someone/.local/share", "/usr/local/share"}));
}

} // namespace
} // namespace lumsift
