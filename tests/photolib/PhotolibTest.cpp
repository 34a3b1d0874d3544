// photolib end to end: the program run as a user runs it, in a temporary folder.
#include "photolib/tool/Photolib.h"
#include "photolib/LibraryPackage.h"
#include "platform/plist/Plist.h"
#include "tests/photolib/TestLibrary.h"
#include "tests/support/HostileImages.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using namespace testlib;
using photolib::LibraryPackage;

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

// What is wrong with the package at `path`, one line per fault; empty when nothing is: the
// database fails its integrity check, a file has no row, a managed master's file is missing,
// ApertureData.xml does not list exactly the versions, or an import's leftovers remain.
std::string faultsOf(const fs::path& path) {
    std::string faults;
    auto library = LibraryPackage::open(path);
    const std::string integrity = queryText(library, "PRAGMA integrity_check");
    if (integrity != "ok")
        faults += "integrity check: " + integrity + "\n";
    std::set<fs::path> accounted = {path / "ApertureData.xml", path / "Database" / "Library.apdb",
                                    path / "Database" / "Library.apdb-wal",
                                    path / "Database" / "Library.apdb-shm"};
    std::set<std::string> uuids;
    for (const auto& v : library.versions()) {
        uuids.insert(v.uuid);
        accounted.insert(v.masterPath);
        if (!v.fileIsReference && !v.online())
            faults += "missing master " + v.masterPath.string() + "\n";
    }
    for (const auto& entry : fs::recursive_directory_iterator(path))
        if (!entry.is_directory() && accounted.count(entry.path()) == 0)
            faults += "file without a row: " + entry.path().string() + "\n";
    const auto xml = plist::Plist::readFile(path / "ApertureData.xml");
    const plist_t list = xml ? plist::dictItem(xml->get(), "Master Image List") : nullptr;
    const std::size_t keys = list ? plist_dict_get_size(list) : 0;
    std::size_t listed = 0;
    for (const auto& uuid : uuids)
        listed += plist::dictItem(list, uuid.c_str()) != nullptr;
    if (keys != uuids.size() || listed != uuids.size())
        faults += "ApertureData.xml lists " + std::to_string(listed) + " of " +
                  std::to_string(uuids.size()) + " versions among " + std::to_string(keys) + "\n";
    return faults;
}

// Made, imported into (copied, or referenced into a named project), opened, selected in, shown.
TEST(Photolib, MakesImportsOpensSelectsAndShowsALibrary) {
    Library lib;
    const auto shown = runPhotolib({"show", lib.path});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_TRUE(contains(shown.out, "Project \"photos\"")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "  a  40x30  ")) << shown.out;
    EXPECT_TRUE(fs::exists(lib.temp / "L.aplibrary" / "Masters" / "photos" / "b.png"));

    EXPECT_EQ(runPhotolib({"open", lib.path + "/"}).exitCode, 0);
    EXPECT_EQ(photolib::openLibraryPath(), fs::path(lib.path));

    ASSERT_EQ(runPhotolib({"select", lib.path, "b", "a"}).exitCode, 0);
    const auto json = runPhotolib({"show", lib.path, "--json", "--tags", "--keywords"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto versions = LibraryPackage::open(lib.path).versions();
    EXPECT_TRUE(contains(json.out, "\"selection\": [\"" + versions[1].uuid + "\", \"" +
                                       versions[0].uuid + "\"]"))
        << json.out;
    EXPECT_TRUE(contains(json.out, "\"tags\": []")) << json.out;

    ASSERT_EQ(runPhotolib({"select", lib.path}).exitCode, 0);
    EXPECT_TRUE(contains(runPhotolib({"show", lib.path, "--json"}).out, "\"selection\": []"));

    const auto result = runPhotolib({"import", lib.path, (lib.temp / "photos" / "a.jpg").string(),
                                     "--project", "Refs", "--reference"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto referenced = runPhotolib({"show", lib.path}).out;
    EXPECT_TRUE(contains(referenced, "Project \"Refs\"")) << referenced;
    EXPECT_TRUE(contains(referenced,
                         fs::canonical(lib.temp / "photos" / "a.jpg").string() + "  referenced"))
        << referenced;

    EXPECT_EQ(runPhotolib({"close"}).exitCode, 0);
    EXPECT_EQ(photolib::openLibraryPath(), std::nullopt);
}

// Bad libraries and unknown names are refused, bad usage exits with 2.
TEST(Photolib, BadLibrariesNamesAndUsageAreRefused) {
    Library lib;
    expectRefused(lib, {"show", (lib.temp / "missing.aplibrary").string()}, "no library at");
    fs::create_directories(lib.temp / "plain");
    expectRefused(lib, {"select", (lib.temp / "plain").string()}, "is not a library package");
    expectRefused(lib, {"open", (lib.temp / "plain").string()}, "is not a library package");
    expectRefused(lib, {"create", lib.path}, "already exists");
    writeBytes(lib.temp / "D.aplibrary" / "Database" / "Library.apdb", std::string(4096, 'x'));
    expectRefused(lib,
                  {"import", (lib.temp / "D.aplibrary").string(), (lib.temp / "photos").string()},
                  "damaged library");
    ASSERT_EQ(runPhotolib({"select", lib.path, "a"}).exitCode, 0);
    expectRefused(lib, {"select", lib.path, "b", "nobody"},
                  "no version has the name, uuid or master file \"nobody\"");
    EXPECT_EQ(runPhotolib({}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"show", lib.path, "--colour"}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"import", lib.path}).exitCode, 2);
    EXPECT_EQ(runPhotolib({"import", lib.path, "x.jpg", "--project"}).exitCode, 2);
}

TEST(Photolib, BadImportsChangeNothing) {
    Library lib;
    writeImage(lib.temp / "more" / "c.jpg", 8, 8);
    writeBytes(lib.temp / "more" / "notes.txt", "text");
    writeBytes(lib.temp / "more" / "broken.jpg", "not really a jpeg");
    writeBytes(lib.temp / "more" / "scans.jpg",
               testimages::jpegOfKind(testimages::photoPixels(1), testimages::JpegKind::ManyScans));
    std::vector<std::pair<fs::path, std::string>> cases = {
        {"nothing.jpg", "no such file or folder"},
        {"more/notes.txt", "is not an image"},
        {"more/broken.jpg", "is not an image"},
        {"more/scans.jpg", "is a JPEG of more than 256 scans"}};
    if (geteuid() != 0) { // root reads every file
        fs::permissions(writeImage(lib.temp / "more" / "locked.jpg", 8, 8), fs::perms::none);
        cases.emplace_back("more/locked.jpg", "cannot be read");
    }
    // Files named: any that cannot be imported fails the whole command.
    for (const auto& [item, message] : cases)
        expectRefused(lib,
                      {"import", lib.path, (lib.temp / "more" / "c.jpg").string(),
                       (lib.temp / item).string()},
                      message);
}

// The summary says what was imported, passed over, refused and how often libvips warned, whose
// words reach the terminal only with --verbose, which also lists each new image.
TEST(Photolib, ImportSummarySaysWhatWasSkippedRefusedAndWarnedAbout) {
    Library lib;
    writeImage(lib.temp / "photos" / "c.jpg", 8, 8, 30);
    writeImageWithOddExif(lib.temp / "photos" / "e.jpg");
    writeBytes(lib.temp / "photos" / "broken.jpg", "not really a jpeg");
    writeBytes(lib.temp / "photos" / "notes.txt", "passed over");
    const auto result = runPhotolib({"import", lib.path, (lib.temp / "photos").string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "Imported 2 images into the project \"photos\".\n"
                          "Skipped 2 files already in the project.\n"
                          "Refused 1 file:\n  " +
                              (lib.temp / "photos" / "broken.jpg").string() +
                              " is not an image that can be read\n"
                              "libvips warned 1 time about the files read (in the system log; "
                              "--verbose shows them).\n");
    EXPECT_EQ(result.err, ""); // not a terminal: no progress

    writeImage(lib.temp / "photos" / "d.jpg", 8, 8, 90);
    writeImageWithOddExif(lib.temp / "photos" / "f.jpg");
    const auto verbose =
        runPhotolib({"import", lib.path, (lib.temp / "photos").string(), "--verbose"});
    EXPECT_EQ(verbose.exitCode, 0) << verbose.err;
    EXPECT_TRUE(contains(verbose.out,
                         "  d  8x8  " +
                             (fs::canonical(lib.path) / "Masters" / "photos" / "d.jpg").string()))
        << verbose.out;
    EXPECT_TRUE(contains(verbose.err, "libvips: unknown EXIF resolution unit")) << verbose.err;
    EXPECT_FALSE(contains(verbose.out, "libvips warned")) << verbose.out;
}

TEST(Photolib, ImportShowsItsProgressOnATerminal) {
    Library lib;
    for (int i = 0; i < 3; ++i)
        writeImage(lib.temp / "more" / ("photo-with-a-long-name-" + std::to_string(i) + ".jpg"), 8,
                   8, 40 * i);
    std::ostringstream out, err;
    const std::vector<std::string> args{"import", lib.path, (lib.temp / "more").string()};
    ASSERT_EQ(photolib::run(args, out, err, 40), 0) << err.str();
    const std::string shown = err.str();
    // The last of each phase is always drawn; each line fits the terminal and ends by wiping
    // what an earlier, longer line left.
    EXPECT_TRUE(contains(shown, "\rExamining 3/3  ")) << shown;
    EXPECT_TRUE(contains(shown, "\rAdding 3/3  \xE2\x80\xA6")) << shown;
    EXPECT_TRUE(contains(shown, "name-2.jpg\033[K")) << shown;
    EXPECT_TRUE(shown.ends_with("\r\033[K")) << shown;
    size_t start = 0;
    while ((start = shown.find('\r', start)) != std::string::npos) {
        const size_t end = shown.find("\033[K", start);
        const std::string line = shown.substr(start + 1, end - start - 1);
        const auto characters = std::count_if(line.begin(), line.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        });
        EXPECT_LE(characters, 39) << line;
        start = end;
    }
    EXPECT_EQ(out.str(), "Imported 3 images into the project \"more\".\n");
}

TEST(Photolib, KilledImportsLeaveNoFileWithoutARow) {
    TempFolder temp;
    const std::string library = (temp / "L.aplibrary").string();
    ASSERT_EQ(runPhotolib({"create", library}).exitCode, 0);
    // A folder of pictures large enough that an import takes a while.
    const fs::path photos = temp / "photos";
    const fs::path first = writeImage(photos / "p000.jpg", 640, 480);
    constexpr int kPictures = 150;
    for (int i = 1; i < kPictures; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "p%03d.jpg", i);
        fs::copy_file(first, photos / name);
    }
    // How long a whole import takes, into a library of its own.
    const std::string scratch = (temp / "T.aplibrary").string();
    ASSERT_EQ(runPhotolib({"create", scratch}).exitCode, 0);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(runPhotolib({"import", scratch, photos.string()}).exitCode, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);

    std::mt19937 random(20240601);
    std::uniform_int_distribution<long> delay(0, whole.count() * 6 / 5);
    for (int run = 0; run < 20; ++run) {
        const std::string project = "Run " + std::to_string(run);
        const auto killedAfter = std::chrono::microseconds(delay(random));
        {
            StartedProgram import({LUMSIFT_PHOTOLIB_PROGRAM, "import", library, photos.string(),
                                   "--project", project});
            ASSERT_GT(import.pid(), 0);
            std::this_thread::sleep_for(killedAfter);
            kill(import.pid(), SIGKILL);
            import.wait();
        }
        // The next command cleans up after the killed one.
        const auto next = runPhotolib({"show", library});
        ASSERT_EQ(next.exitCode, 0) << next.err;
        EXPECT_EQ(faultsOf(library), "") << "run " << run << ", killed after "
                                         << killedAfter.count() << " us of " << whole.count();
        // An import lands whole or not at all; importing again adds what is not there, each
        // picture under its own name.
        const auto inProject = [&] {
            auto opened = LibraryPackage::open(library);
            std::set<std::string> names;
            for (const auto& p : opened.projects())
                if (p.name == project)
                    for (const auto& v : opened.versions(p.uuid))
                        names.insert(v.masterPath.filename().string());
            return names;
        };
        const size_t landed = inProject().size();
        EXPECT_TRUE(landed == 0 || landed == size_t{kPictures}) << landed;
        const auto again = runPhotolib({"import", library, photos.string(), "--project", project});
        EXPECT_EQ(again.exitCode, 0) << again.err;
        const auto names = inProject();
        EXPECT_EQ(names.size(), size_t{kPictures}) << "run " << run;
        EXPECT_EQ(names.count("p000.jpg"), 1u);
        EXPECT_EQ(names.count("p149.jpg"), 1u);
        EXPECT_EQ(faultsOf(library), "") << "run " << run;
    }
}

TEST(Photolib, ConcurrentImportsAllLand) {
    Library lib;
    std::vector<std::unique_ptr<StartedProgram>> imports;
    for (int i = 0; i < 4; ++i) {
        const std::string set = std::to_string(i);
        const fs::path folder = lib.temp / ("set" + set);
        for (int j = 0; j < 20; ++j)
            writeImage(folder / ("s" + set + "-" + std::to_string(j) + ".png"), 16, 16, 10 * j);
        imports.push_back(std::make_unique<StartedProgram>(std::vector<std::string>{
            LUMSIFT_PHOTOLIB_PROGRAM, "import", lib.path, folder.string()}));
    }
    for (auto& import : imports) {
        const auto result = import->wait();
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }
    EXPECT_EQ(LibraryPackage::open(lib.path).versions().size(), 82u);
    EXPECT_EQ(faultsOf(lib.path), "");
}

TEST(Photolib, DamagedDatabaseIsRefusedBeforeAnyWrite) {
    Library lib;
    int64_t rootPage = 0;
    int64_t pageSize = 0;
    {
        auto library = LibraryPackage::open(lib.path);
        // Enough tags that their table has pages of its own, away from what a selection writes.
        for (const auto& v : library.versions())
            for (int i = 0; i < 120; ++i)
                library.setCustomTag(v.uuid, "tag" + std::to_string(i), std::string(40, 'x'));
        rootPage = std::stoll(
            queryText(library, "SELECT rootpage FROM sqlite_master WHERE name = 'RKCustomTag'"));
        pageSize = std::stoll(queryText(library, "PRAGMA page_size"));
    } // the last connection closes: every page is in the database file
    {
        std::fstream database(photolib::libraryDatabasePath(lib.path),
                              std::ios::in | std::ios::out | std::ios::binary);
        database.seekp((rootPage - 1) * pageSize);
        database.put('\0'); // no such page type
    }
    expectRefused(lib, {"select", lib.path, "a"}, "fails the integrity check");
    expectRefused(lib, {"import", lib.path, writeImage(lib.temp / "c.jpg", 8, 8).string()},
                  "damaged library");
    expectRefused(lib, {"open", lib.path}, "damaged library");
}

TEST(Photolib, ShowWorksOnAReadOnlyLibrary) {
    Library lib;
    // Run as a user who can read the library but not write it.
    std::vector<std::string> reader;
    if (geteuid() == 0) {
        fs::permissions(lib.temp.path(),
                        fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec,
                        fs::perm_options::add);
        reader = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else {
        const auto write =
            fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        for (const auto& entry : fs::recursive_directory_iterator(lib.path))
            fs::permissions(entry.path(), write, fs::perm_options::remove);
        fs::permissions(lib.path, write, fs::perm_options::remove);
    }
    reader.push_back(LUMSIFT_PHOTOLIB_PROGRAM);
    const auto runAsReader = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = reader;
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv);
    };
    const std::string before = snapshot(lib.temp.path());

    const auto shown = runAsReader({"show", lib.path});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_TRUE(contains(shown.out, "  a  40x30  ")) << shown.out;
    const auto json = runAsReader({"show", lib.path, "--json", "--tags", "--keywords"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_TRUE(contains(json.out, "\"name\": \"b\"")) << json.out;
    const auto selected = runAsReader({"select", lib.path, "a"});
    EXPECT_EQ(selected.exitCode, 1);
    EXPECT_TRUE(contains(selected.err, "cannot write")) << selected.err;
    EXPECT_EQ(snapshot(lib.temp.path()), before);

    if (geteuid() != 0)
        for (const auto& entry : fs::recursive_directory_iterator(lib.temp.path()))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
}

TEST(Photolib, ShowJsonIsValidWhateverTheNamesHold) {
    Library lib;
    // A file name in Latin-1, as old cameras and archives write them: not UTF-8.
    writeImage(lib.temp / "latin" / "caf\xE9.jpg", 8, 8);
    ASSERT_EQ(runPhotolib({"import", lib.path, (lib.temp / "latin").string()}).exitCode, 0);
    {
        auto library = LibraryPackage::open(lib.path);
        const auto versions = library.versions();
        library.setCustomTag(versions[0].uuid, "odd\x01\x7F", "\xFF\xFE \xC3 \"quoted\"\\");
        library.addKeyword(versions[0].uuid, "cut \xE2\x82", "ZUL Lumsift");
    }
    const auto json = runPhotolib({"show", lib.path, "--json", "--tags", "--keywords"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n"
                                                     << json.out;
    const QJsonArray projects = document.object().value("projects").toArray();
    QStringList names;
    for (const auto& project : projects)
        for (const auto& version : project.toObject().value("versions").toArray())
            names << version.toObject().value("name").toString();
    EXPECT_TRUE(names.contains(QString::fromUtf8("caf\xEF\xBF\xBD"))) << json.out;
    const QJsonObject a = projects[0].toObject().value("versions").toArray()[0].toObject();
    const QJsonObject tag = a.value("tags").toArray()[0].toObject();
    EXPECT_EQ(tag.value("name").toString(), QString::fromUtf8("odd\x01\x7F"));
    EXPECT_EQ(tag.value("value").toString(),
              QString::fromUtf8("\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD \"quoted\"\\"));
}

} // namespace
} // namespace lumsift
