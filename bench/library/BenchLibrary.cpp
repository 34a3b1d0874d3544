// Fills a benchmark library package row by row in one transaction, as fast as SQLite allows.
#include "bench/library/BenchLibrary.h"

#include "photolib/LibraryPackage.h"

#include <string>

namespace lumsift::bench {

void makeBenchLibrary(const std::filesystem::path& package, BenchLibraryShape shape) {
    auto library = photolib::LibraryPackage::create(package);
    auto& db = library.connection();
    photolib::Transaction transaction(db);
    auto folder =
        db.prepare("INSERT INTO RKFolder(uuid, name, folderType, sortIndex) VALUES(?, ?, 2, ?)");
    auto master = db.prepare("INSERT INTO RKMaster(uuid, imagePath, fileIsReference, fileName, "
                             "width, height) VALUES(?, ?, 1, ?, 4000, 3000)");
    auto version = db.prepare(
        "INSERT INTO RKVersion(uuid, name, masterUuid, projectUuid, sortIndex) VALUES(?, ?, ?, "
        "?, ?)");
    auto tag = db.prepare("INSERT INTO RKCustomTag(versionUuid, name, value) VALUES(?, ?, ?)");
    const char* const tagNames[] = {"Lumsift", "Lumsift+", "LumsiftPro"};
    uint64_t fingerprint = 0x9E3779B97F4A7C15ULL;
    for (int p = 0; p < shape.projects; ++p) {
        const std::string projectUuid = "P-" + std::to_string(p);
        folder.bind(1, projectUuid).bind(2, "Project " + std::to_string(p)).bind(3, int64_t{p});
        folder.run();
        folder.reset();
        for (int v = 0; v < shape.versionsPerProject; ++v) {
            const std::string n = std::to_string(p) + "-" + std::to_string(v);
            const std::string fileName = "IMG_" + n + ".JPG";
            master.bind(1, "M-" + n)
                .bind(2, "photos/project" + std::to_string(p) + "/" + fileName)
                .bind(3, fileName);
            master.run();
            master.reset();
            version.bind(1, "V-" + n)
                .bind(2, "IMG_" + n)
                .bind(3, "M-" + n)
                .bind(4, projectUuid)
                .bind(5, int64_t{v});
            version.run();
            version.reset();
            if (v % 2 != 0)
                continue;
            for (const char* name : tagNames) {
                fingerprint = fingerprint * 6364136223846793005ULL + 1442695040888963407ULL;
                tag.bind(1, "V-" + n).bind(2, name).bind(3, std::to_string(fingerprint));
                tag.run();
                tag.reset();
            }
        }
    }
    transaction.commit();
}

} // namespace lumsift::bench
