// The photo application's stand-in: round trips through the scripting interface on a real
// library package, and many users of one library at once.
#include "photolib/LibraryApplication.h"

#include "photolib/LibraryPackage.h"
#include "tests/photolib/TestLibrary.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace fs = std::filesystem;
using namespace lumsift::photolib;
using namespace lumsift::scripting;
using lumsift::testlib::TempFolder;
using lumsift::testlib::writeImage;

namespace {

// A library with one project "P" of three versions a, b, c, open in the stand-in.
struct OpenLibrary {
    TempFolder temp;
    std::optional<LibraryPackage> library;
    std::vector<VersionRecord> versions;
    std::shared_ptr<ApertureApplication> app;

    OpenLibrary() {
        library.emplace(LibraryPackage::create(temp / "L.aplibrary"));
        ImportOptions options;
        options.project = "P";
        const std::vector<fs::path> files{writeImage(temp / "in" / "a.jpg", 30, 20),
                                          writeImage(temp / "in" / "b.png", 30, 21, 40),
                                          writeImage(temp / "in" / "c.jpg", 30, 22, 80)};
        versions = library->importFiles(files, options).imported;
        openLibrary(library->path());
        registerLibraryApplication();
        app = ScriptingRegistry::applicationWithBundleIdentifier("com.apple.aperture");
    }
    ApertureImageVersion version(size_t i) const { return {app, versions.at(i).uuid}; }
};

} // namespace

TEST(LibraryApplication, RunsOnlyWhileALibraryIsOpen) {
    TempFolder temp;
    const auto app = makeLibraryApplication();
    EXPECT_FALSE(app->isRunning());
    EXPECT_TRUE(app->projects().empty());
    EXPECT_TRUE(app->selection().empty());
    EXPECT_THROW(app->version(), ScriptingError);

    const LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    openLibrary(library.path());
    EXPECT_TRUE(app->isRunning());
    EXPECT_EQ(app->version(), "3.6.1");

    closeLibrary();
    EXPECT_FALSE(app->isRunning());
    EXPECT_TRUE(app->projects().empty());
}

TEST(LibraryApplication, FollowsTheLibraryThatIsOpenNow) {
    OpenLibrary first;
    ASSERT_EQ(first.app->projects().size(), 1u);
    const fs::path other = LibraryPackage::create(first.temp / "Other.aplibrary").path();
    openLibrary(other);
    EXPECT_TRUE(first.app->projects().empty());
    openLibrary(first.library->path());
    EXPECT_EQ(first.app->projects().size(), 1u);
    // Made anew at the same place: the new library answers.
    fs::remove_all(first.library->path());
    LibraryPackage::create(first.library->path());
    EXPECT_TRUE(first.app->projects().empty());
    EXPECT_TRUE(first.app->isRunning());
    // A damaged library named in the setting: not running, and requests say why.
    lumsift::testlib::writeBytes(libraryDatabasePath(other), std::string(4096, 'x'));
    lumsift::testlib::writeBytes(openLibrarySettingFile(), other.string() + "\n");
    EXPECT_FALSE(first.app->isRunning());
    EXPECT_TRUE(first.app->projects().empty());
    try {
        first.app->version();
        ADD_FAILURE() << "a damaged library answered";
    } catch (const ScriptingError& e) {
        EXPECT_NE(std::string(e.what()).find("damaged library"), std::string::npos) << e.what();
    }
}

TEST(LibraryApplication, ProjectsAndVersionsAnswerFromTheDatabase) {
    OpenLibrary lib;
    const auto projects = lib.app->projects();
    ASSERT_EQ(projects.size(), 1u);
    EXPECT_EQ(projects[0].name(), "P");
    const auto versions = projects[0].imageVersions();
    ASSERT_EQ(versions.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(versions[i].id(), lib.versions[i].uuid);
    EXPECT_EQ(versions[1].name(), "b");
    EXPECT_EQ(versions[1].height(), 21);
    EXPECT_TRUE(versions[1].online());
    EXPECT_EQ(versions[1].otherTagValue("FileName"), "b.png");
    EXPECT_EQ(versions[1].otherTagValue("Nothing"), std::nullopt);
    // Height unknown, master gone.
    lib.library->connection().exec("UPDATE RKMaster SET height = NULL");
    fs::remove(lib.versions[0].masterPath);
    EXPECT_EQ(versions[0].height(), 0);
    EXPECT_FALSE(versions[0].online());
}

TEST(LibraryApplication, CustomTagsRoundTripOnePerName) {
    OpenLibrary lib;
    EXPECT_THROW(ApertureImageVersion(lib.app, "no-such-version").addCustomTag("Lumsift", "1"),
                 ScriptingError);
    const auto a = lib.version(0);
    a.addCustomTag("Lumsift+", "123");
    a.addCustomTag("Lumsift", "18446744073709551615");
    a.addCustomTag("Lumsift+", "9223372036854775809");
    EXPECT_EQ(a.customTagNames(), (std::vector<std::string>{"Lumsift+", "Lumsift"}));
    EXPECT_EQ(a.customTagValues(),
              (std::vector<std::string>{"9223372036854775809", "18446744073709551615"}));

    const auto project = lib.app->projects().at(0);
    const auto values = project.customTagValues();
    const auto names = project.customTagNames();
    ASSERT_EQ(values.size(), 3u);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(values[0], a.customTagValues());
    EXPECT_EQ(names[0], a.customTagNames());
    EXPECT_TRUE(values[1].empty());
    // A write of another connection (another process, as photolib's) is seen by the next read.
    lib.library->setCustomTag(lib.versions[2].uuid, "LumsiftPro", "7");
    EXPECT_EQ(project.customTagValues()[2], std::vector<std::string>{"7"});
    EXPECT_EQ(project.customTagNames()[2], std::vector<std::string>{"LumsiftPro"});
}

TEST(LibraryApplication, KeywordsWithParentsAndDeletingTheFirstMatchOnly) {
    OpenLibrary lib;
    const auto a = lib.version(0);
    a.addKeyword("Lumsift a", "Mine");
    a.addKeyword("Lumsift a", "ZUL Lumsift");
    a.addKeyword("Lumsift a", "ZUL Lumsift");
    const auto keywords = a.keywords();
    ASSERT_EQ(keywords.size(), 3u);
    EXPECT_EQ(keywords[0].name, "Lumsift a");
    EXPECT_EQ(keywords[1].name, "Lumsift a");
    EXPECT_NE(keywords[0].uuid, keywords[1].uuid);
    EXPECT_EQ(keywords[1].uuid, keywords[2].uuid);
    EXPECT_EQ(lumsift::testlib::queryText(*lib.library,
                                          "SELECT count(*) FROM RKKeyword WHERE "
                                          "name = 'ZUL Lumsift' AND parentUuid IS NULL"),
              "1");
    // One assignment of the twice-assigned keyword goes; then the one under "Mine".
    a.deleteKeyword(keywords[1]);
    auto left = lib.library->keywords(a.id());
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].parentName, "Mine");
    EXPECT_EQ(left[1].parentName, "ZUL Lumsift");
    a.deleteKeyword(keywords[0]);
    left = lib.library->keywords(a.id());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].parentName, "ZUL Lumsift");
    EXPECT_FALSE(lib.library->deleteKeyword(a.id(), keywords[0].uuid));
    EXPECT_TRUE(lib.version(1).keywords().empty());
}

TEST(LibraryApplication, ExportGivesTheCopyAndItsSidecarUnderAFreeNameOrNothingWhenOffline) {
    using lumsift::testlib::readBytes;
    OpenLibrary lib;
    const fs::path out = lib.temp / "export";
    lumsift::testlib::writeBytes(out / "b.XMP", "someone else's");
    const auto copies =
        lib.app->exportVersions({lib.version(1), lib.version(0)}, out, kExportMetadataRKSC);
    EXPECT_EQ(copies, (std::vector<fs::path>{out / "b (2).png", out / "a.jpg"}));
    EXPECT_EQ(readBytes(out / "b (2).png"), readBytes(lib.versions[1].masterPath));
    EXPECT_NE(readBytes(out / "b (2).XMP").find("x:xmpmeta"), std::string::npos);
    EXPECT_EQ(readBytes(out / "b.XMP"), "someone else's");
    EXPECT_TRUE(fs::exists(out / "a.XMP"));

    fs::remove(lib.versions[2].masterPath);
    const ApertureImageVersion unknown(lib.app, "no-such-version");
    EXPECT_TRUE(
        lib.app->exportVersions({lib.version(2), unknown}, out, kExportMetadataRKSC).empty());
}

TEST(LibraryApplication, ThreadsAndPhotolibAtOnceLoseNothingAndTheSelectionKeepsItsOrder) {
    OpenLibrary lib;
    // The writers go on until photolib has changed the selection ten times, so all overlap. Like
    // the analysis, they pause between writes (a writer that never pauses starves the others).
    std::atomic<bool> photolibDone{false};
    std::atomic<bool> writersDone{false};
    std::atomic<int> failures{0};
    std::array<int, 2> written{};
    // Runs `body` on a thread of its own; an exception leaving it is a failure.
    const auto start = [&failures](std::function<void()> body) {
        return std::thread([&failures, body] {
            try {
                body();
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
                ++failures;
            }
        });
    };
    const auto writer = [&](std::shared_ptr<ApertureApplication> app, size_t versionIndex) {
        const ApertureImageVersion version(app, lib.versions.at(versionIndex).uuid);
        for (int& count = written.at(versionIndex); count < 50 || !photolibDone; ++count) {
            version.addCustomTag("tag" + std::to_string(count), std::to_string(count));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::thread first = start([&] { writer(lib.app, 0); });
    // The second writer has an application of its own, so a connection of its own.
    const auto otherApp = makeLibraryApplication();
    std::thread second = start([&] { writer(otherApp, 1); });
    std::thread reader = start([&] {
        while (!writersDone) {
            EXPECT_EQ(lib.app->projects().at(0).imageVersions().size(), 3u);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int i = 0; i < 10; ++i) {
        const auto result = lumsift::testlib::runPhotolib(
            {"select", lib.library->path().string(), i % 2 == 0 ? "a" : "c", "b"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }
    photolibDone = true;
    first.join();
    second.join();
    writersDone = true;
    reader.join();

    EXPECT_EQ(failures, 0);
    const auto names = lib.app->projects().at(0).customTagNames();
    for (size_t v = 0; v < 2; ++v) {
        ASSERT_EQ(names.at(v).size(), static_cast<size_t>(written[v]));
        EXPECT_EQ(names[v].back(), "tag" + std::to_string(written[v] - 1));
    }
    // The last photolib run selected "c", then "b": in that order, not the library's.
    const auto selection = lib.app->selection();
    ASSERT_EQ(selection.size(), 2u);
    EXPECT_EQ(selection[0].id(), lib.versions[2].uuid);
    EXPECT_EQ(selection[1].id(), lib.versions[1].uuid);
}
