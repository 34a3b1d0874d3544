// Master-file lookup: the package database (read-only, identifier bound), the ApertureData.xml
// fallback, and the file to fingerprint for an image (in place or exported).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sqlite3.h>
#include <thread>
#include <unistd.h>

#include "platform/log/Log.h"
#include "tests/engine/support/EngineHarness.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using Access = LumsiftForApertureTestAccess;
using testing::EngineHarness;
using Strings = std::vector<std::string>;

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

Db openDb(const fs::path& file) {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    return Db(raw);
}

void exec(sqlite3* db, const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
}

// A library package in a fresh temporary folder.
struct Package {
    explicit Package(const std::string& name = "Lib.aplibrary")
        : base(fs::temp_directory_path() / ("masterfiles-" + std::to_string(getpid()))),
          root(base / name) {
        fs::remove_all(base);
        fs::create_directories(root / "Database");
    }
    ~Package() { fs::remove_all(base); }
    fs::path database() const { return root / "Database" / "Library.apdb"; }
    // Makes the database in WAL mode with the two tables the lookup reads, then runs `rows`.
    void makeDatabase(const std::string& rows) const {
        const Db db = openDb(database());
        exec(db.get(), "pragma journal_mode=wal;"
                       "create table RKVersion(uuid text, masterUuid text);"
                       "create table RKMaster(uuid text, imagePath text, fileIsReference int);" +
                           rows);
    }
    // Writes ApertureData.xml with one "ImagePath" per identifier.
    void makeXml(const std::map<std::string, std::string>& paths) const {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                          "<dict><key>Master Image List</key><dict>";
        for (const auto& [id, path] : paths) {
            xml += "<key>" + id + "</key><dict><key>ImagePath</key><string>" + path +
                   "</string></dict>";
        }
        std::ofstream(root / "ApertureData.xml") << xml << "</dict></dict></plist>\n";
    }
    // Every file below the package with a digest of its bytes; the shared-memory index of a
    // WAL database is every reader's scratch space and is only listed.
    std::map<std::string, std::size_t> snapshot() const {
        std::map<std::string, std::size_t> files;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string bytes(std::istreambuf_iterator<char>(in), {});
            const bool index = entry.path().string().ends_with("-shm");
            files[entry.path().string()] = index ? 0 : std::hash<std::string>()(bytes);
        }
        return files;
    }
    fs::path base;
    fs::path root;
};

Strings pathsAfterLoad(EngineHarness& h, const Package& p, Strings ids) {
    Access::allImageIDs(h.engine) = std::move(ids);
    h.engine.setApertureLibrary(p.root.string());
    h.engine.loadXmlData();
    return Access::allImagePaths(h.engine);
}

TEST(MasterFiles, NoPackageGivesEmptyPathsAndZeroCounts) {
    EngineHarness h;
    const log::Capture capture;
    Access::allImageIDs(h.engine) = {"V1", "V2"};
    h.engine.loadXmlData();
    EXPECT_EQ(Access::allImagePaths(h.engine), (Strings{"", ""}));
    EXPECT_EQ(capture.lines(), Strings{"Masters: 0  Previews: 0  UnIdentified: 0"});
}

TEST(MasterFiles, DatabaseGivesManagedAndReferencedPaths) {
    EngineHarness h;
    const Package p;
    p.makeDatabase("insert into RKVersion values('V1','M1'),('V2','M2'),('V4','M4'),('V5','M5');"
                   "insert into RKMaster values('M1','2014/x/b.jpg',0),('M2','Users/a/b.jpg',1),"
                   "('M4','one.jpg',0),('M4','two.jpg',0),('M5',NULL,0);");
    const log::Capture capture;
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1", "V2", "V3", "V4", "V5"}),
              (Strings{(p.root / "Masters/2014/x/b.jpg").string(), "/Users/a/b.jpg", "",
                       (p.root / "Masters/one.jpg").string(), ""}));
    EXPECT_EQ(capture.lines(),
              (Strings{"SQLite: No rows were found", "SQLite: found more rows than expected",
                       "SQL query found nil path"}));
}

TEST(MasterFiles, IdentifierIsBoundNotPastedIntoTheQuery) {
    EngineHarness h;
    const Package p;
    p.makeDatabase("insert into RKVersion values('it''s','M1'),('V2','M2');"
                   "insert into RKMaster values('M1','quoted.jpg',0),('M2','other.jpg',0);");
    // Pasted into the text, the second identifier would select every version's master.
    const Strings paths = pathsAfterLoad(h, p, {"it's", "zzz') or ('1'='1"});
    EXPECT_EQ(paths, (Strings{(p.root / "Masters/quoted.jpg").string(), ""}));
}

TEST(MasterFiles, DatabaseIsOnlyRead) {
    EngineHarness h;
    const Package p;
    p.makeDatabase("insert into RKVersion values('V1','M1');"
                   "insert into RKMaster values('M1','a.jpg',0);");
    const auto before = p.snapshot();
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1"}), Strings{(p.root / "Masters/a.jpg").string()});
    EXPECT_EQ(p.snapshot(), before); // no journal files made, no byte changed

    // While the photo application holds the database open with changes in its log, they are
    // read, and still nothing is made or written.
    const Db writer = openDb(p.database());
    exec(writer.get(), "pragma wal_autocheckpoint=0;"
                       "insert into RKVersion values('V2','M2');"
                       "insert into RKMaster values('M2','b.jpg',1);");
    const auto during = p.snapshot();
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1", "V2"}),
              (Strings{(p.root / "Masters/a.jpg").string(), "/b.jpg"}));
    EXPECT_EQ(p.snapshot(), during);
}

TEST(MasterFiles, DamagedDatabaseLogsEachQuery) {
    EngineHarness h;
    const Package p;
    std::ofstream(p.database()) << "not a database at all, but long enough to be read as one";
    const log::Capture capture;
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1"}), Strings{""});
    EXPECT_EQ(capture.lines(), Strings{"SQLite: No results for this query: id=V1"});
}

TEST(MasterFiles, XmlFallbackCountsMastersPreviewsUnidentified) {
    EngineHarness h;
    const Package p; // no database file
    p.makeXml({{"V1", (p.root / "Masters/p/1.jpg").string()}, {"V2", "/Previews/2.jpg"}});
    const log::Capture capture;
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1", "V2", "V3"}),
              (Strings{(p.root / "Masters/p/1.jpg").string(), "", ""}));
    EXPECT_EQ(capture.lines(), Strings{"Masters: 1  Previews: 1  UnIdentified: 1"});
}

TEST(MasterFiles, XmlPathsMatchCanonicallyEquivalentPackageName) {
    EngineHarness h;
    const Package p("Caf\xC3\xA9.aplibrary"); // precomposed e-acute
    const std::string decomposed =
        (p.base / "Cafe\xCC\x81.aplibrary" / "Masters" / "x.jpg").string();
    p.makeXml({{"V1", decomposed}});
    const log::Capture capture;
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1"}), Strings{decomposed}); // kept as the file has it
    EXPECT_EQ(capture.lines(), Strings{"Masters: 1  Previews: 0  UnIdentified: 0"});
}

TEST(MasterFiles, XmlThatIsNoPropertyListCountsAllUnidentified) {
    EngineHarness h;
    const Package p;
    std::ofstream(p.root / "ApertureData.xml") << "<garbage";
    const log::Capture capture;
    EXPECT_EQ(pathsAfterLoad(h, p, {"V1", "V2"}), (Strings{"", ""}));
    EXPECT_EQ(capture.lines(), Strings{"Masters: 0  Previews: 0  UnIdentified: 2"});
}

// Waits for another thread's work on the file system (the sidecar deletion) to show.
bool becomesAbsent(const fs::path& file) {
    for (int i = 0; i < 500 && fs::exists(file); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !fs::exists(file);
}

TEST(MasterFiles, ExportImageReadsKnownMasterInPlace) {
    EngineHarness h;
    const Package p;
    fs::create_directories(p.root / "Masters");
    std::ofstream(p.root / "Masters/a.jpg") << "jpeg";
    p.makeDatabase("insert into RKVersion values('V1','M1');"
                   "insert into RKMaster values('M1','a.jpg',0);");
    h.app->addProject("P", "P1");
    const ImageVersion v1 = h.app->addVersion("P1", "V1");
    pathsAfterLoad(h, p, {"V1"});
    EXPECT_EQ(h.engine.exportImage(v1), p.root / "Masters/a.jpg");
    EXPECT_TRUE(h.app->callsStartingWith("exportVersions").empty());
}

TEST(MasterFiles, ExportImageExportsAndDropsTheSidecar) {
    EngineHarness h;
    const Package p;
    const fs::path master = p.base / ("master-" + std::to_string(getpid()) + ".jpg");
    std::ofstream(master) << "jpeg";
    h.app->addProject("P", "P1");
    const ImageVersion v1 = h.app->addVersion("P1", "V1", "exported-" + std::to_string(getpid()));
    h.app->setMasterFile("V1", master);
    h.app->setWriteSidecar(true);
    // V1 came after the last load: its identifier is not among the loaded ones.
    pathsAfterLoad(h, p, {"V0"});
    const std::optional<fs::path> copy = h.engine.exportImage(v1);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->parent_path(), fs::path(Access::exportFolder(h.engine)));
    EXPECT_TRUE(fs::exists(*copy));
    EXPECT_TRUE(becomesAbsent(fs::path(*copy).replace_extension(".XMP")));
    fs::remove(*copy);
}

TEST(MasterFiles, ExportImageWithoutFileNameGivesNothing) {
    EngineHarness h;
    h.app->addProject("P", "P1");
    const ImageVersion v1 = h.app->addVersion("P1", "V1");
    h.app->setOtherTag("V1", "FileName", "");
    EXPECT_EQ(h.engine.exportImage(v1), std::nullopt);
    h.app->removeOtherTag("V1", "FileName");
    EXPECT_EQ(h.engine.exportImage(v1), std::nullopt);
    EXPECT_TRUE(h.app->callsStartingWith("exportVersions").empty());
}

} // namespace
} // namespace lumsift
