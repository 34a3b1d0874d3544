// Master-file lookup: the package database (read-only, identifier bound), the ApertureData.xml
// fallback, and the file to fingerprint for an image (in place or exported).
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sqlite3.h>
#include <thread>

#include "platform/log/Log.h"
#include "tests/engine/support/EngineHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestImages.h"

#include <sys/stat.h>

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using Access = LumsiftForApertureTestAccess;
using testing::EngineHarness;
using Strings = std::vector<std::string>;

using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

// Opens the database at `file` and runs `sql` on it; the connection stays open.
Db openAndRun(const fs::path& file, const std::string& sql) {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    Db db(raw, sqlite3_close);
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(raw);
    return db;
}

// An engine and a library package in a fresh folder.
struct Package : EngineHarness {
    explicit Package(const std::string& name = "Lib.aplibrary") : root(dir / name) {
        fs::create_directories(root / "Database");
        fs::create_directories(root / "Masters");
    }
    fs::path database() const { return root / "Database" / "Library.apdb"; }
    // Makes the database in WAL mode with the two tables the lookup reads, then runs `rows`.
    void makeDatabase(const std::string& rows) const {
        openAndRun(database(), "pragma journal_mode=wal;"
                               "create table RKVersion(uuid text, masterUuid text);"
                               "create table RKMaster(uuid text, imagePath text, "
                               "fileIsReference int);" +
                                   rows);
    }
    // Writes ApertureData.xml with one "ImagePath" per identifier.
    void makeXml(const std::map<std::string, std::string>& paths) const {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                          "<dict><key>Master Image List</key><dict>";
        for (const auto& [id, path] : paths)
            xml += "<key>" + id + "</key><dict><key>ImagePath</key><string>" + path +
                   "</string></dict>";
        std::ofstream(root / "ApertureData.xml") << xml << "</dict></dict></plist>\n";
    }
    // Every file below the package with a digest of its bytes; the shared-memory index of a
    // WAL database is every reader's scratch space and is only listed.
    std::map<std::string, std::size_t> snapshot() const {
        std::map<std::string, std::size_t> files;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file())
                continue;
            const bool index = entry.path().string().ends_with("-shm");
            files[entry.path().string()] =
                index ? 0 : std::hash<std::string>()(testimages::readBytes(entry.path()));
        }
        return files;
    }
    // The master paths that loadXmlData finds for `ids` in this package, named `library`
    // (the package's path unless given).
    Strings paths(Strings ids, std::optional<std::string> library = {}) {
        Access::loadIdentifiers(engine, std::move(ids));
        engine.setApertureLibrary(library.value_or(root.string()));
        engine.loadXmlData();
        return Access::allImagePaths(engine);
    }
    std::string master(const std::string& relative) const {
        return (root / "Masters" / relative).string();
    }

    testimages::TempDir dir;
    fs::path root;
};

TEST(MasterFiles, DatabaseGivesManagedAndReferencedPathsForBoundIdentifiers) {
    Package p;
    p.makeDatabase("insert into RKVersion values('V1','M1'),('V2','M2'),('V4','M4'),('V5','M5'),"
                   "('it''s','M6');"
                   "insert into RKMaster values('M1','2014/x/b.jpg',0),('M2','Users/a/b.jpg',1),"
                   "('M4','one.jpg',0),('M4','two.jpg',0),('M5',NULL,0),('M6','quoted.jpg',0);");
    const log::Capture capture;
    // Pasted into the query's text, the last identifier would select every version's master.
    EXPECT_EQ(p.paths({"V1", "V2", "V3", "V4", "V5", "it's", "zzz') or ('1'='1"}),
              (Strings{p.master("2014/x/b.jpg"), "/Users/a/b.jpg", "", p.master("one.jpg"), "",
                       p.master("quoted.jpg"), ""}));
    EXPECT_EQ(capture.lines(),
              (Strings{"SQLite: No rows were found", "SQLite: found more rows than expected",
                       "SQL query found nil path", "SQLite: No rows were found"}));
}

TEST(MasterFiles, DatabaseIsOnlyRead) {
    Package p;
    p.makeDatabase("insert into RKVersion values('V1','M1');"
                   "insert into RKMaster values('M1','a.jpg',0);");
    const auto before = p.snapshot();
    EXPECT_EQ(p.paths({"V1"}), Strings{p.master("a.jpg")});
    EXPECT_EQ(p.snapshot(), before); // no journal files made, no byte changed

    // While the photo application holds the database open with changes in its log, they are
    // read, and still nothing is made or written.
    const Db writer = openAndRun(p.database(), "pragma wal_autocheckpoint=0;"
                                               "insert into RKVersion values('V2','M2');"
                                               "insert into RKMaster values('M2','b.jpg',1);");
    const auto during = p.snapshot();
    EXPECT_EQ(p.paths({"V1", "V2"}), (Strings{p.master("a.jpg"), "/b.jpg"}));
    EXPECT_EQ(p.snapshot(), during);
}

TEST(MasterFiles, DatabaseOpensWhateverAnAbsolutePathHolds) {
    for (const char* name : {"Lib.aplibrary", "100% #1 ?x=y.aplibrary", "two  blanks.aplibrary"})
        for (const bool doubleSlash : {false, true}) {
            Package p(name);
            p.makeDatabase("insert into RKVersion values('V1','M1');"
                           "insert into RKMaster values('M1','a.jpg',0);");
            // A path that begins with "//" names the same folder, and is no host.
            const std::string library = (doubleSlash ? "/" : "") + p.root.string();
            const log::Capture capture;
            EXPECT_EQ(p.paths({"V1"}, library), Strings{library + "/Masters/a.jpg"}) << library;
            EXPECT_TRUE(capture.lines().empty()) << library;
        }
}

TEST(MasterFiles, SpecialOrOversizedLibraryFilesAreUnusableAndNeverHang) {
    // A FIFO or a device as the database falls back to the XML file; as the XML file, or an XML
    // file above the size limit, it gives no master at all.
    Package p;
    const fs::path xml = p.root / "ApertureData.xml";
    ASSERT_EQ(mkfifo(p.database().c_str(), 0644), 0);
    p.makeXml({{"V1", p.master("a.jpg")}});
    Strings found;
    ASSERT_TRUE(testing::endsWithin20Seconds([&] { found = p.paths({"V1"}); }, {p.database()}));
    EXPECT_EQ(found, Strings{p.master("a.jpg")});
    fs::remove(p.database());
    fs::create_symlink("/dev/null", p.database());
    EXPECT_EQ(p.paths({"V1"}), Strings{p.master("a.jpg")});

    fs::remove(xml);
    ASSERT_EQ(mkfifo(xml.c_str(), 0644), 0);
    for (const int kind : {0, 1, 2}) { // FIFO, device, too large
        SCOPED_TRACE(kind);
        if (kind == 1) {
            fs::remove(xml);
            fs::create_symlink("/dev/null", xml);
        } else if (kind == 2) {
            fs::remove(xml);
            p.makeXml({{"V1", p.master("a.jpg")}});
            fs::resize_file(xml, (std::uintmax_t{1} << 30) + 1); // sparse: nothing is written
        }
        const log::Capture capture;
        ASSERT_TRUE(testing::endsWithin20Seconds([&] { found = p.paths({"V1"}); }, {xml}));
        EXPECT_EQ(found, Strings{""});
        EXPECT_EQ(capture.lines().back(), "Masters: 0  Previews: 0  UnIdentified: 0");
        EXPECT_EQ(capture.contains("ApertureData.xml is larger than 1073741824 bytes: not read"),
                  kind == 2);
    }
}

TEST(MasterFiles, AFifoOrADeviceAsAMasterIsAProblemImageNotAHang) {
    Package p;
    const fs::path fifo = p.dir / "elsewhere/a.jpg";
    const fs::path device = p.dir / "elsewhere/b.jpg";
    fs::create_directories(fifo.parent_path());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", device);
    p.makeDatabase("insert into RKVersion values('V1','M1'),('V2','M2');"
                   "insert into RKMaster values('M1','" + fifo.relative_path().string() + "',1),"
                   "('M2','" + device.relative_path().string() + "',1);");
    p.recordSystem();
    p.app->addProject("P", "P1");
    for (const auto& [id, master] : {std::pair{"V1", fifo}, std::pair{"V2", device}}) {
        p.app->addVersion("P1", id);
        p.app->setMasterFile(id, master); // nor can the application export a copy of it
    }
    p.load();
    p.engine.setApertureLibrary(p.root.string());
    ASSERT_TRUE(testing::endsWithin20Seconds(
        [&] {
            p.engine.analyseImages(p.loadingPage);
            p.main->drain();
        },
        {fifo}));
    for (const char* id : {"V1", "V2"})
        EXPECT_EQ(p.app->customTag(id, kTagPro), "0") << id;
    EXPECT_EQ(p.engine.problemImageCount(), 2);
}

TEST(MasterFiles, ExportedCopiesGoIntoAFolderOfTheUsersOwnThatGoesAtExit) {
    const testimages::TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    // At a normal exit the folder is gone (in a child, before this process has threads).
    const fs::path record = runtime / "folder";
    EXPECT_EQ(testing::signalOfChild([&] {
                  EngineHarness h;
                  testimages::writeBytes(record, Access::exportFolder(h.engine));
                  std::exit(0);
              }),
              0);
    const std::string made = testimages::readBytes(record);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(fs::path(made).parent_path(), runtime.path());
    EXPECT_FALSE(fs::exists(made));

    for (const bool runtimeFolder : {true, false}) {
        SCOPED_TRACE(runtimeFolder);
        if (!runtimeFolder)
            unsetenv("XDG_RUNTIME_DIR");
        EngineHarness h;
        h.app->addProject("P", "P1");
        const ImageVersion v = h.app->addVersion("P1", "V1");
        h.app->setMasterFile("V1", testimages::writeBytes(runtime / "master.jpg", "jpeg"));
        const std::optional<fs::path> copy = h.engine.exportImage(v);
        ASSERT_TRUE(copy.has_value());
        const fs::path folder = copy->parent_path();
        EXPECT_EQ(folder.parent_path(),
                  runtimeFolder ? runtime.path() : fs::temp_directory_path());
        struct stat status {};
        ASSERT_EQ(stat(folder.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u);
        EXPECT_EQ(status.st_uid, geteuid());
        // The next engine of the process takes a folder of its own; the last one goes.
        h.engine.resetForTesting();
        EXPECT_FALSE(fs::exists(folder));
    }
}

TEST(MasterFiles, AReadAccessPromptThatLeavesItsFileUnreadableIsNotShownAgainInTheRun) {
    // Two unreadable referenced masters, next to each other or with a missing one between them.
    for (const bool missingBetween : {false, true}) {
        SCOPED_TRACE(missingBetween);
        Package p;
        const fs::path first = testimages::writeBytes(p.dir / "elsewhere/a.jpg", "x");
        const fs::path second = testimages::writeBytes(p.dir / "elsewhere/b.jpg", "x");
        for (const fs::path& file : {first, second})
            chmod(file.c_str(), 0);
        const fs::path missing = p.dir / "elsewhere/missing.jpg";
        const Strings ids = missingBetween ? Strings{"V1", "V0", "V2"} : Strings{"V1", "V2"};
        p.makeDatabase("insert into RKVersion values('V1','M1'),('V0','M0'),('V2','M2');"
                       "insert into RKMaster values('M1','" + first.relative_path().string() +
                       "',1),('M0','" + missing.relative_path().string() + "',1),"
                       "('M2','" + second.relative_path().string() + "',1);");
        p.giveDelegate();
        p.recordSystem();
        p.app->addProject("P", "P1");
        for (const std::string& id : ids)
            p.app->addVersion("P1", id);
        p.load();
        const testing::AsUnprivilegedReader reader;
        for (int run = 0; run < 2; ++run) {
            // The user cancels the prompt: the file stays unreadable, no copy can be had either.
            p.engine.setApertureLibrary(p.root.string());
            const log::Capture capture;
            p.engine.analyseImages(p.loadingPage);
            p.main->drain();
            EXPECT_EQ(p.events.startingWith("delegate.userSelectedFiles="),
                      Strings{"delegate.userSelectedFiles=" + first.string()});
            EXPECT_TRUE(capture.contains("Read access to " + second.string() +
                                         " was refused earlier in this run: not asked again"));
            EXPECT_EQ(p.app->customTag("V2", kTagPlain), "0") << "a problem image";
            EXPECT_EQ(p.engine.problemImageCount(), static_cast<int64_t>(ids.size()));
            p.events.clear();
        }
    }
}

TEST(MasterFiles, DamagedDatabaseLogsEachQuery) {
    Package p;
    std::ofstream(p.database()) << "not a database at all, but long enough to be read as one";
    const log::Capture capture;
    EXPECT_EQ(p.paths({"V1"}), Strings{""});
    EXPECT_EQ(capture.lines(), Strings{"SQLite: No results for this query: id=V1"});
}

TEST(MasterFiles, XmlFallbackCountsMastersPreviewsUnidentified) {
    struct Case {
        std::string xml; // "" for none, "garbage" for no property list, else the ImagePath of V1
        Strings ids, paths;
        std::string counts;
    };
    // The package's name holds a precomposed e-acute; its paths in the XML a decomposed one.
    Package p("Caf\xC3\xA9.aplibrary");
    const std::string decomposed = (p.dir / "Cafe\xCC\x81.aplibrary/Masters/p/1.jpg").string();
    for (const Case& c :
         {Case{"", {"V1", "V2"}, {"", ""}, "0  Previews: 0  UnIdentified: 0"},
          Case{"garbage", {"V1", "V2"}, {"", ""}, "0  Previews: 0  UnIdentified: 2"},
          Case{decomposed,
               {"V1", "V2", "V3"},
               {decomposed, "", ""},
               "1  Previews: 1  UnIdentified: 1"}}) {
        if (c.xml == "garbage")
            std::ofstream(p.root / "ApertureData.xml") << "<garbage";
        else if (!c.xml.empty())
            p.makeXml({{"V1", c.xml}, {"V2", "/Previews/2.jpg"}});
        const log::Capture capture;
        EXPECT_EQ(p.paths(c.ids), c.paths) << c.xml;
        EXPECT_EQ(capture.lines(), Strings{"Masters: " + c.counts}) << c.xml;
    }
}

TEST(MasterFiles, ExportImageReadsKnownMasterInPlaceElseExportsAndDropsTheSidecar) {
    Package p;
    std::ofstream(p.master("a.jpg")) << "jpeg";
    p.makeDatabase("insert into RKVersion values('V1','M1');"
                   "insert into RKMaster values('M1','a.jpg',0);");
    p.app->addProject("P", "P1");
    const ImageVersion v1 = p.app->addVersion("P1", "V1");
    p.paths({"V1"});
    EXPECT_EQ(p.engine.exportImage(v1), fs::path(p.master("a.jpg")));
    EXPECT_TRUE(p.app->callsStartingWith("exportVersions").empty());

    // V2 came after the last load: its identifier is not among the loaded ones.
    const ImageVersion v2 = p.app->addVersion("P1", "V2", "exported-" + std::to_string(getpid()));
    p.app->setMasterFile("V2", p.master("a.jpg"));
    p.app->setWriteSidecar(true);
    const std::optional<fs::path> copy = p.engine.exportImage(v2);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->parent_path(), fs::path(Access::exportFolder(p.engine)));
    EXPECT_TRUE(fs::exists(*copy));
    const fs::path sidecar = fs::path(*copy).replace_extension(".XMP");
    for (int i = 0; i < 500 && fs::exists(sidecar); ++i) // deleted on a thread of its own
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(fs::exists(sidecar));
    fs::remove(*copy);

    // Without a file name there is nothing to read.
    p.app->setOtherTag("V1", "FileName", "");
    EXPECT_EQ(p.engine.exportImage(v1), std::nullopt);
    p.app->removeOtherTag("V1", "FileName");
    EXPECT_EQ(p.engine.exportImage(v1), std::nullopt);
    EXPECT_EQ(p.app->callsStartingWith("exportVersions").size(), 1u);
}

} // namespace
} // namespace lumsift
