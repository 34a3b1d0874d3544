// The library load's reads through the scripting interface against one plain SQL query that reads
// the same rows, in one run, on a library of 100,000 versions in 100 projects (tags on half).
// Prints the times and the ratio to the plain query (target: at most 2); the same query in the
// load's order is shown beside it.
//
// Run by hand: build-*/bench/library/library_read_bench
#include "bench/library/BenchLibrary.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sqlite3.h>

namespace {

namespace fs = std::filesystem;
using namespace lumsift;
using Clock = std::chrono::steady_clock;

// Best of `rounds` runs of `work`, in milliseconds; `work` returns a count that must not change.
double bestOf(int rounds, const std::function<size_t()>& work, size_t& count) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        count = work();
        best =
            std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

// What the library load asks: per project the version ids, the tag values, the tag names.
size_t readThroughInterface(scripting::ApertureApplication& app) {
    size_t cells = 0;
    for (const auto& project : app.projects()) {
        const auto versions = project.imageVersions();
        const auto values = project.customTagValues();
        const auto names = project.customTagNames();
        cells += versions.size();
        for (size_t i = 0; i < values.size(); ++i)
            cells += values[i].size() + names[i].size();
    }
    return cells;
}

// No order asked: the cheapest plan SQLite has for these rows, so the strictest baseline.
constexpr const char* kUnordered = "SELECT v.uuid, t.value, t.name FROM RKVersion v LEFT JOIN "
                                   "RKCustomTag t ON t.versionUuid = v.uuid";
// The same rows in the order the load needs them: projects, versions, tags as first added.
constexpr const char* kOrdered =
    "SELECT v.uuid, t.value, t.name FROM RKFolder f JOIN RKVersion v ON v.projectUuid = f.uuid "
    "LEFT JOIN RKCustomTag t ON t.versionUuid = v.uuid WHERE f.folderType = 2 "
    "ORDER BY f.sortIndex, v.sortIndex, t.rowid";

// The rows of `sql` in one query on a connection of its own, each text read.
size_t readPlain(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    size_t cells = 0;
    std::string lastId;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* id = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        if (lastId != id) {
            lastId = id;
            ++cells;
        }
        if (sqlite3_column_type(stmt, 2) != SQLITE_NULL) {
            cells += sqlite3_column_bytes(stmt, 1) > 0 ? 1 : 0;
            cells += sqlite3_column_bytes(stmt, 2) > 0 ? 1 : 0;
        }
    }
    sqlite3_finalize(stmt);
    return cells;
}

} // namespace

int main() {
    std::string pattern = (fs::temp_directory_path() / "library-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path folder = pattern;
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    const fs::path package = folder / "Bench.aplibrary";

    auto start = Clock::now();
    bench::makeBenchLibrary(package);
    std::printf("made 100,000 versions in 100 projects in %.0f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    photolib::openLibrary(package);
    const auto app = photolib::makeLibraryApplication();

    sqlite3* db = nullptr;
    sqlite3_open_v2(photolib::libraryDatabasePath(package).c_str(), &db, SQLITE_OPEN_READONLY,
                    nullptr);
    size_t interfaceCells = 0;
    size_t plainCells = 0;
    size_t orderedCells = 0;
    readPlain(db, kUnordered); // warm the page cache for all
    const double plain = bestOf(
        5, [&] { return readPlain(db, kUnordered); }, plainCells);
    const double ordered = bestOf(
        5, [&] { return readPlain(db, kOrdered); }, orderedCells);
    const double throughInterface = bestOf(
        5, [&] { return readThroughInterface(*app); }, interfaceCells);
    sqlite3_close(db);

    std::printf("plain SQL query:          %8.1f ms (%zu cells)\n", plain, plainCells);
    std::printf("same, in the load's order:%8.1f ms (%zu cells)\n", ordered, orderedCells);
    std::printf("scripting interface:      %8.1f ms (%zu cells)\n", throughInterface,
                interfaceCells);
    std::printf("ratio interface / plain:  %8.2f (target: at most 2)\n", throughInterface / plain);

    photolib::closeLibrary();
    fs::remove_all(folder);
    return interfaceCells == plainCells && orderedCells == plainCells ? 0 : 2;
}
