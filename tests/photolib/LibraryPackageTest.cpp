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

    const auto report = library.importFiles(paths({temp / "in"}), into("Trip"));
    const auto& imported = report.imported;

    ASSERT_EQ(imported.size(), 2u);
    // The link is met as a second path to a.jpg.
    EXPECT_EQ(report.skipped, paths({temp / "in" / "z-link-to-a.jpg"}));
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
    const auto imported = library.importFiles(paths({file}), into("Refs", true)).imported;
    ASSERT_EQ(imported.size(), 1u);
    EXPECT_EQ(imported[0].masterPath, fs::canonical(file));
    EXPECT_EQ(queryText(library, "SELECT imagePath || '|' || fileIsReference FROM RKMaster"),
              fs::canonical(file).string().substr(1) + "|1");
    EXPECT_FALSE(fs::exists(library.path() / "Masters" / "Refs"));
}

TEST(LibraryPackage, SameFileTwiceIntoOneProjectIsSkipped) {
    TempFolder temp;
    const fs::path a = writeImage(temp / "in" / "a.jpg", 10, 10);
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    library.importFiles(paths({a}), into("P"));
    // Again with a new file beside it: only the new one goes in.
    writeImage(temp / "in" / "new.jpg", 10, 10, 30);
    const auto again = library.importFiles(paths({temp / "in"}), into("P"));
    ASSERT_EQ(again.imported.size(), 1u);
    EXPECT_EQ(again.imported[0].fileName, "new.jpg");
    EXPECT_EQ(again.skipped, paths({a}));
    EXPECT_EQ(library.versions().size(), 2u);
    // Nothing new: nothing changes, not even the master list.
    const std::string xmlBefore = lumsift::testlib::readBytes(library.path() / "ApertureData.xml");
    EXPECT_TRUE(library.importFiles(paths({temp / "in"}), into("P")).imported.empty());
    EXPECT_EQ(lumsift::testlib::readBytes(library.path() / "ApertureData.xml"), xmlBefore);
    // Named twice in one command; nothing new into a new project makes no project.
    EXPECT_EQ(library.importFiles(paths({a, a}), into("Q")).skipped, paths({a}));
    EXPECT_EQ(library.versions().size(), 3u);
    EXPECT_TRUE(library.importFiles(paths({a}), into("Q")).imported.empty());
    // Referenced twice, and a file of another folder with the same name but other contents.
    library.importFiles(paths({a}), into("R", true));
    EXPECT_EQ(library.importFiles(paths({a}), into("R", true)).skipped.size(), 1u);
    writeImage(temp / "other" / "a.jpg", 10, 10, 200);
    const auto second = library.importFiles(paths({temp / "other" / "a.jpg"}), into("P"));
    EXPECT_EQ(second.imported.at(0).masterPath.filename(), "a (2).jpg");
    // Into another project the same file goes.
    EXPECT_EQ(library.importFiles(paths({a}), into("Other")).imported.size(), 1u);
    EXPECT_EQ(library.projects().size(), 4u);
}

TEST(LibraryPackage, FilesOfAFolderThatCannotBeReadAreRefusedAndTheOthersGoIn) {
    TempFolder temp;
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    writeImage(temp / "in" / "good.jpg", 10, 10);
    lumsift::testlib::writeBytes(temp / "in" / "broken.jpg", "garbage");
    lumsift::testlib::writeBytes(temp / "in" / "notes.txt", "not a picture, passed over");
    // Taken by suffix, as photolib takes them.
    ImportOptions options = into("P");
    options.isImageFile = [](const fs::path& file) { return file.extension() == ".jpg"; };
    const auto report = library.importFiles(paths({temp / "in"}), options);
    ASSERT_EQ(report.imported.size(), 1u);
    EXPECT_EQ(report.imported[0].fileName, "good.jpg");
    ASSERT_EQ(report.refused.size(), 1u);
    EXPECT_EQ(report.refused[0].file, temp / "in" / "broken.jpg");
    EXPECT_EQ(report.refused[0].reason, "is not an image that can be read");
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
    const auto v = library
                       .importFiles(paths({writeImage(temp / "a.jpg", 5, 5),
                                           writeImage(temp / "b.jpg", 5, 5, 10),
                                           writeImage(temp / "c.jpg", 5, 5, 20)}),
                                    into("P"))
                       .imported;
    library.select(std::vector<std::string>{"c", v[0].uuid, "b"});
    EXPECT_EQ(library.selection(), (std::vector{v[2].uuid, v[0].uuid, v[1].uuid}));

    EXPECT_THROW(library.select(std::vector<std::string>{"a", "nobody"}), ScriptingError);
    EXPECT_EQ(library.selection(), (std::vector{v[2].uuid, v[0].uuid, v[1].uuid}));

    library.select(std::vector<std::string>{});
    EXPECT_TRUE(library.selection().empty());
}

TEST(LibraryPackage, SelectTakesThePathsOfMasterFiles) {
    TempFolder temp;
    LibraryPackage library = LibraryPackage::create(temp / "L.aplibrary");
    const fs::path kept = writeImage(temp / "Pictures" / "2019" / "IMG_0412.jpg", 6, 4);
    const fs::path copied = writeImage(temp / "Pictures" / "IMG_0413.jpg", 6, 4, 90);
    const auto referenced = library.importFiles(paths({kept}), into("2019", true)).imported;
    const auto managed = library.importFiles(paths({copied}), into("Copied")).imported;
    fs::create_directory_symlink(temp / "Pictures", temp / "Shortcut");

    const fs::path before = fs::current_path();
    fs::current_path(temp / "Pictures");
    // Relative, through a link, and a managed master's place in the package.
    library.select(std::vector<std::string>{"2019/IMG_0412.jpg"});
    EXPECT_EQ(library.selection(), std::vector{referenced[0].uuid});
    library.select(std::vector<std::string>{(temp / "Shortcut" / "2019" / "IMG_0412.jpg").string(),
                                            managed[0].masterPath.string()});
    EXPECT_EQ(library.selection(), (std::vector{referenced[0].uuid, managed[0].uuid}));
    // The file a managed master was copied from is not the master.
    try {
        library.select(std::vector<std::string>{"IMG_0413.jpg"});
        ADD_FAILURE() << "selected a file that is no master";
    } catch (const ScriptingError& e) {
        EXPECT_NE(std::string(e.what()).find("no version has the name, uuid or master file"),
                  std::string::npos)
            << e.what();
    }
    fs::current_path(before);
}
