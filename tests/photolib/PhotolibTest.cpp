// photolib end to end: the program run as a user runs it, in a temporary folder.
#include "photolib/LibraryPackage.h"
#include "tests/photolib/TestLibrary.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace fs = std::filesystem;
using lumsift::testlib::runPhotolib;
using lumsift::testlib::snapshot;
using lumsift::testlib::TempFolder;
using lumsift::testlib::writeImage;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A library "L.aplibrary" holding the pictures a.jpg and b.png of the folder "photos".
struct Library {
    TempFolder temp;
    std::string path = (temp / "L.aplibrary").string();
    Library() {
        writeImage(temp / "photos" / "a.jpg", 40, 30);
        writeImage(temp / "photos" / "b.png", 20, 10, 60);
        EXPECT_EQ(runPhotolib({"create", path}).exitCode, 0);
        const auto imported = runPhotolib({"import", path, (temp / "photos").string()});
        EXPECT_EQ(imported.exitCode, 0) << imported.err;
    }
};

// Runs `args`, expecting failure with a message holding `message` and the library unchanged.
void expectRefused(const Library& lib, const std::vector<std::string>& args,
                   const std::string& message) {
    const std::string before = snapshot(lib.temp.path());
    const auto result = runPhotolib(args);
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_TRUE(contains(result.err, message)) << result.err;
    EXPECT_EQ(snapshot(lib.temp.path()), before);
}

} // namespace

TEST(Photolib, MakesOpensSelectsAndShowsALibrary) {
    Library lib;
    const auto shown = runPhotolib({"show", lib.path});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_TRUE(contains(shown.out, "Project \"photos\"")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "  a  40x30  ")) << shown.out;
    EXPECT_TRUE(fs::exists(lib.temp / "L.aplibrary" / "Masters" / "photos" / "b.png"));

    EXPECT_EQ(runPhotolib({"open", lib.path + "/"}).exitCode, 0);
    EXPECT_EQ(lumsift::photolib::openLibraryPath(), fs::path(lib.path));

    ASSERT_EQ(runPhotolib({"select", lib.path, "b", "a"}).exitCode, 0);
    const auto json = runPhotolib({"show", lib.path, "--json", "--tags", "--keywords"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto versions = lumsift::photolib::LibraryPackage::open(lib.path).versions();
    EXPECT_TRUE(contains(json.out, "\"selection\": [\"" + versions[1].uuid + "\", \"" +
                                       versions[0].uuid + "\"]"))
        << json.out;
    EXPECT_TRUE(contains(json.out, "\"tags\": []")) << json.out;

    ASSERT_EQ(runPhotolib({"select", lib.path}).exitCode, 0);
    EXPECT_TRUE(contains(runPhotolib({"show", lib.path, "--json"}).out, "\"selection\": []"));

    EXPECT_EQ(runPhotolib({"close"}).exitCode, 0);
    EXPECT_EQ(lumsift::photolib::openLibraryPath(), std::nullopt);
}

TEST(Photolib, ReferenceImportIntoANamedProject) {
    Library lib;
    const auto result = runPhotolib({"import", lib.path, (lib.temp / "photos" / "a.jpg").string(),
                                     "--project", "Refs", "--reference"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto shown = runPhotolib({"show", lib.path}).out;
    EXPECT_TRUE(contains(shown, "Project \"Refs\"")) << shown;
    EXPECT_TRUE(
        contains(shown, fs::canonical(lib.temp / "photos" / "a.jpg").string() + "  referenced"))
        << shown;
}

TEST(Photolib, BadLibrariesAreRefused) {
    Library lib;
    expectRefused(lib, {"show", (lib.temp / "missing.aplibrary").string()}, "no library at");
    fs::create_directories(lib.temp / "plain");
    expectRefused(lib, {"select", (lib.temp / "plain").string()}, "is not a library package");
    expectRefused(lib, {"open", (lib.temp / "plain").string()}, "is not a library package");
    expectRefused(lib, {"create", lib.path}, "already exists");
    lumsift::testlib::writeBytes(lib.temp / "D.aplibrary" / "Database" / "Library.apdb",
                                std::string(4096, 'x'));
    expectRefused(lib,
                  {"import", (lib.temp / "D.aplibrary").string(), (lib.temp / "photos").string()},
                  "damaged library");
}

TEST(Photolib, BadImportsChangeNothing) {
    Library lib;
    writeImage(lib.temp / "more" / "c.jpg", 8, 8);
    lumsift::testlib::writeBytes(lib.temp / "more" / "notes.txt", "text");
    lumsift::testlib::writeBytes(lib.temp / "more" / "broken.jpg", "not really a jpeg");
    for (const auto& [item, message] :
         {std::pair<fs::path, std::string>{"photos", "is already in the project \"photos\""},
          {"nothing.jpg", "no such file or folder"},
          {"more/notes.txt", "is not an image"},
          {"more", "is not an image"}})
        expectRefused(lib, {"import", lib.path, (lib.temp / item).string()}, message);
}

TEST(Photolib, UnreadableImagesAreRefused) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    Library lib;
    const fs::path file = writeImage(lib.temp / "locked" / "c.jpg", 8, 8);
    fs::permissions(file, fs::perms::none);
    expectRefused(lib, {"import", lib.path, file.string()}, "cannot read");
}

TEST(Photolib, UnknownNamesAndBadUsage) {
    Library lib;
    ASSERT_EQ(runPhotolib({"select", lib.path, "a"}).exitCode, 0);
    expectRefused(lib, {"select", lib.path, "b", "nobody"}, "no version has the name or uuid");
    EXPECT_EQ(runPhotolib({}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"show", lib.path, "--colour"}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"import", lib.path}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"import", lib.path, "x.jpg", "--project"}).exitCode, 2);
}
