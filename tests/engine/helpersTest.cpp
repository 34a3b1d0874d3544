// The file helpers: existence with the read-access prompt, deletion, comparison, hashFile's log.
#include "engine/helpers.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log/Log.h"
#include "tests/engine/support/EngineHarness.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using testing::AsUnprivilegedReader;

struct Folder {
    Folder() : path(fs::temp_directory_path() / ("helpers-" + std::to_string(getpid()))) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
    fs::path write(const fs::path& relative, const std::string& text) const {
        const fs::path file = path / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    fs::path path;
};

TEST(helpers, ReadableFileIsThereWithoutPrompt) {
    testing::EngineHarness h;
    const Folder folder;
    const fs::path file = folder.write("a.jpg", "x");
    EXPECT_TRUE(helpers::fileExists(file.string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists((folder.path / "missing.jpg").string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists("", h.delegate));
    EXPECT_TRUE(h.events.startingWith("delegate.userSelectedFiles").empty());
}

TEST(helpers, UnreadableFileInPackagePromptsForPackage) {
    testing::EngineHarness h;
    const Folder folder;
    const fs::path file = folder.write("Lib.aplibrary/Masters/x.jpg", "x");
    chmod(file.c_str(), 0);
    h.delegate->onUserSelectedFiles = [&](const std::string&) { chmod(file.c_str(), 0644); };
    const AsUnprivilegedReader reader;
    EXPECT_TRUE(helpers::fileExists(file.string(), h.delegate));
    EXPECT_EQ(h.events.startingWith("delegate.userSelectedFiles"),
              std::vector<std::string>{"delegate.userSelectedFiles=" +
                                       (folder.path / "Lib.aplibrary").string()});
}

TEST(helpers, StillUnreadableAfterPromptIsNo) {
    testing::EngineHarness h;
    const Folder folder;
    const fs::path file = folder.write("Pics.photolibrary/db/x.apdb", "x");
    const fs::path outside = folder.write("elsewhere/b.jpg", "x");
    chmod(file.c_str(), 0);
    chmod(outside.c_str(), 0);
    const AsUnprivilegedReader reader;
    EXPECT_FALSE(helpers::fileExists(file.string(), h.delegate));
    EXPECT_FALSE(helpers::fileExists(outside.string(), h.delegate));
    // A referenced master outside a package asks for the file itself.
    EXPECT_EQ(h.events.startingWith("delegate.userSelectedFiles"),
              (std::vector<std::string>{"delegate.userSelectedFiles=" +
                                            (folder.path / "Pics.photolibrary").string(),
                                        "delegate.userSelectedFiles=" + outside.string()}));
}

TEST(helpers, DeleteCompareAndHashFile) {
    const Folder folder;
    const fs::path a = folder.write("a", "same bytes");
    const fs::path b = folder.write("b", "same bytes");
    const fs::path c = folder.write("c", "other byte");
    EXPECT_TRUE(helpers::compareFiles(a.string(), b.string()));
    EXPECT_FALSE(helpers::compareFiles(a.string(), c.string()));
    EXPECT_FALSE(helpers::compareFiles(a.string(), (folder.path / "none").string()));

    helpers().deleteFileInstance(a.string());
    helpers::deleteFile((folder.path / "none").string()); // nothing there: ignored
    EXPECT_FALSE(fs::exists(a));

    const log::Capture capture;
    helpers::hashFile("/p/q.jpg");
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"In class method hashFile. filePathName=", "/p/q.jpg"}));
}

} // namespace
} // namespace lumsift
