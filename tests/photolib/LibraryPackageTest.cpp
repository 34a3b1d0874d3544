// The library package on disk: schema, opening, imports, selection. Its tags, keywords and export
// are tested through the scripting interface (LibraryApplicationTest).
#include "photolib/LibraryPackage.h"

#include "platform/plist/Plist.h"
#include "tests/photolib/TestLibrary.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace lumsift::photolib;
using lumsift::scripting::ScriptingError;
using lumsift::testlib::queryText;
using lumsift::testlib::TempFolder;
using lumsift::testlib::writeImage;

namespace {

ImportOptions into(std::string project, bool reference = false) {
    ImportOptions options;
    options.project = std::move(project);
    options.reference = reference;
    return options;
}

std::vector<fs::path> paths(std::initializer_list<fs::path> list) {
    return list;
}

} // namespace

TEST(LibraryPackage, CreateMakesAnEmptyWalLibrary) {
    TempFolder temp;
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    EXPECT_EQ(queryText(library, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(library.version(), "3.6.1");
    EXPECT_TRUE(fs::is_directory(temp / "L.aplibrary" / "Masters"));
    const auto xml = lumsift::plist::Plist::readFile(temp / "L.aplibrary" / "ApertureData.xml");
    ASSERT_TRUE(xml);
    const plist_t list = lumsift::plist::dictItem(xml->get(), "Master Image List");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(plist_dict_get_size(list), 0u);
    EXPECT_THROW(LibraryPackage::create(temp / "L.aplibrary"), ScriptingError);
}

TEST(LibraryPackage, OpenRejectsMissingForeignAndDamagedLibraries) {
    TempFolder temp;
    fs::create_directories(temp / "plain");
    LibraryPackage::create(temp / "D.aplibrary");
    lumsift::testlib::writeBytes(libraryDatabasePath(temp / "D.aplibrary"), std::string(4096, 'x'));
    LibraryPackage::create(temp / "T.aplibrary").connection().exec("DROP TABLE RKSelection");
    const struct {
        const char* package;
        const char* kind;
        const char* message;
    } cases[] = {{"none.aplibrary", "NoLibrary", "no library at"},
                 {"plain", "NoLibrary", "is not a library package"},
                 {"D.aplibrary", "LibraryDamaged", "not a database"},
                 {"T.aplibrary", "LibraryDamaged", "lacks the table RKSelection"}};
    for (const auto& c : cases) {
        try {
            LibraryPackage::open(temp / c.package);
            ADD_FAILURE() << c.package << " opened";
        } catch (const ScriptingError& e) {
            EXPECT_EQ(e.name(), c.kind) << c.package;
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(LibraryPackage, ImportCopiesManagedMastersAndListsThemInTheXml) {
    TempFolder temp;
    writeImage(temp / "in" / "a.jpg", 40, 30);
    writeImage(temp / "in" / "sub" / "b.png", 20, 10);
    lumsift::testlib::writeBytes(temp / "in" / "notes.txt", "not a picture");
    writeImage(temp / "in" / ".hidden" / "c.jpg", 8, 8);
    fs::create_symlink("a.jpg", temp / "in" / "z-link-to-a.jpg");
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");

    const auto imported = library.importFiles(paths({temp / "in"}), into("Trip"));

    ASSERT_EQ(imported.size(), 2u);
    EXPECT_EQ(imported[0].name, "a");
    EXPECT_EQ(imported[0].width, 40);
    EXPECT_EQ(imported[0].height, 30);
    EXPECT_EQ(imported[1].fileName, "b.png");
    EXPECT_EQ(imported[0].masterPath, library.path() / "Masters" / "Trip" / "a.jpg");
    EXPECT_EQ(lumsift::testlib::readBytes(imported[0].masterPath),
              lumsift::testlib::readBytes(temp / "in" / "a.jpg"));
    EXPECT_EQ(queryText(library, "SELECT imagePath || '|' || fileIsReference FROM RKMaster "
                                 "WHERE fileName = 'a.jpg'"),
              "Trip/a.jpg|0");

    const auto xml = lumsift::plist::Plist::readFile(library.path() / "ApertureData.xml");
    ASSERT_TRUE(xml);
    const plist_t entry = lumsift::plist::dictItem(
        lumsift::plist::dictItem(xml->get(), "Master Image List"), imported[1].uuid.c_str());
    EXPECT_EQ(lumsift::plist::stringValue(lumsift::plist::dictItem(entry, "ImagePath")),
              imported[1].masterPath.string());
}

TEST(LibraryPackage, ReferenceImportKeepsTheFileWhereItLies) {
    TempFolder temp;
    const fs::path file = writeImage(temp / "in" / "a.jpg", 12, 9);
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    const auto imported = library.importFiles(paths({file}), into("Refs", true));
    ASSERT_EQ(imported.size(), 1u);
    EXPECT_EQ(imported[0].masterPath, fs::canonical(file));
    EXPECT_EQ(queryText(library, "SELECT imagePath || '|' || fileIsReference FROM RKMaster"),
              fs::canonical(file).string().substr(1) + "|1");
    EXPECT_FALSE(fs::exists(library.path() / "Masters" / "Refs"));
}

TEST(LibraryPackage, SameFileTwiceIntoOneProjectFailsAndChangesNothing) {
    TempFolder temp;
    const fs::path a = writeImage(temp / "in" / "a.jpg", 10, 10);
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    library.importFiles(paths({a}), into("P"));
    writeImage(temp / "in" / "new.jpg", 10, 10, 30);
    const std::string xmlBefore = lumsift::testlib::readBytes(library.path() / "ApertureData.xml");
    // Again with a new file beside it: the whole import is refused.
    EXPECT_THROW(library.importFiles(paths({temp / "in"}), into("P")), ScriptingError);
    EXPECT_EQ(library.versions().size(), 1u);
    EXPECT_FALSE(fs::exists(library.path() / "Masters" / "P" / "new.jpg"));
    EXPECT_EQ(lumsift::testlib::readBytes(library.path() / "ApertureData.xml"), xmlBefore);
    // Named twice in one command.
    EXPECT_THROW(library.importFiles(paths({a, a}), into("Q")), ScriptingError);
    EXPECT_EQ(library.projects().size(), 1u);
    // Referenced twice, and a file of another folder with the same name but other contents.
    library.importFiles(paths({a}), into("R", true));
    EXPECT_THROW(library.importFiles(paths({a}), into("R", true)), ScriptingError);
    writeImage(temp / "other" / "a.jpg", 10, 10, 200);
    const auto second = library.importFiles(paths({temp / "other" / "a.jpg"}), into("P"));
    EXPECT_EQ(second.at(0).masterPath.filename(), "a (2).jpg");
    // Into another project the same file goes.
    EXPECT_EQ(library.importFiles(paths({a}), into("Other")).size(), 1u);
}

TEST(LibraryPackage, BadImportInputsFailAndLeaveNoFilesBehind) {
    TempFolder temp;
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    const fs::path good = writeImage(temp / "in" / "good.jpg", 10, 10);
    const fs::path text = lumsift::testlib::writeBytes(temp / "notes.txt", "hello");
    const fs::path broken = lumsift::testlib::writeBytes(temp / "in" / "broken.jpg", "garbage");

    EXPECT_THROW(library.importFiles(paths({temp / "missing.jpg"}), into("P")), ScriptingError);
    EXPECT_THROW(library.importFiles(paths({good, text}), into("P")), ScriptingError);
    EXPECT_THROW(library.importFiles(paths({good, broken}), into("P")), ScriptingError);
    EXPECT_THROW(library.importFiles(paths({good}), into("a/b")), ScriptingError);

    EXPECT_TRUE(library.projects().empty());
    EXPECT_TRUE(fs::is_empty(library.path() / "Masters"));
}

TEST(LibraryPackage, SelectKeepsTheOrderGivenAndRefusesUnknownNames) {
    TempFolder temp;
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    const auto v = library.importFiles(
        paths({writeImage(temp / "a.jpg", 5, 5), writeImage(temp / "b.jpg", 5, 5, 10),
               writeImage(temp / "c.jpg", 5, 5, 20)}),
        into("P"));
    library.select(std::vector<std::string>{"c", v[0].uuid, "b"});
    EXPECT_EQ(library.selection(), (std::vector{v[2].uuid, v[0].uuid, v[1].uuid}));

    EXPECT_THROW(library.select(std::vector<std::string>{"a", "nobody"}), ScriptingError);
    EXPECT_EQ(library.selection(), (std::vector{v[2].uuid, v[0].uuid, v[1].uuid}));

    library.select(std::vector<std::string>{});
    EXPECT_TRUE(library.selection().empty());
}
