// The analysis' grid workers: what each result holds when many workers decode good, damaged and
// refused files at once, and how far ahead they are given work.
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "engine/GridWorkers.h"
#include "fingerprint/Lumsift.h"
#include "platform/log/Log.h"
#include "tests/support/HostileImages.h"
#include "tests/support/TestImages.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using namespace testimages;
using Strings = std::vector<std::string>;

// What preparing `file` alone, on this thread, gives: the grids (when prepared) and the lines.
struct Alone {
    bool prepared = false;
    PixelGrid<8> grid8{};
    PixelGrid<32> grid32{};
    Strings lines;
};

Alone prepareAlone(const fs::path& file) {
    Lumsift calculator;
    const log::Capture capture;
    Alone alone;
    alone.prepared = calculator.prepareImageData(file, true, true);
    alone.grid8 = calculator.grid8();
    alone.grid32 = calculator.grid32();
    alone.lines = capture.lines();
    return alone;
}

TEST(GridWorkers, EachResultHoldsWhatPreparingItsFileAloneGivesAndLogs) {
    TempDir dir;
    const fs::path good = writePhoto(dir / "good.jpg", 0);
    const fs::path png = writePhoto(dir / "good.png", 1, Variant::Original, Format::Png);
    const std::vector<fs::path> files = {
        good,
        png,
        writeBytes(dir / "garbage.png", "this is no picture"),
        writeTruncatedCopy(png, dir / "cut.png", fs::file_size(png) - 20),
        writeOverwrittenCopy(png, dir / "damaged.png", fs::file_size(png) / 2,
                             std::string(64, '\x55')),
        writeTruncatedCopy(good, dir / "cut.jpg", fs::file_size(good) / 2),
        writePngBomb(dir / "bomb.png", 65535, 65535),
        writeGifBomb(dir / "bomb.gif", 65535, 65535),
        writeBytes(dir / "scan.xyz", "not a readable type"),
    };
    std::map<fs::path, Alone> alone;
    for (const fs::path& file : files)
        alone[file] = prepareAlone(file);
    ASSERT_TRUE(alone[good].prepared);
    ASSERT_FALSE(alone[dir / "damaged.png"].prepared);

    // Every file six times over, on eight workers at once.
    const std::size_t ahead = 24;
    GridWorkers workers(8, ahead);
    const std::size_t count = 6 * files.size();
    for (std::size_t position = 0; position < count; ++position) {
        ASSERT_EQ(workers.planLimit(), position + ahead + 1);
        while (workers.nextToPlan() < std::min(count, workers.planLimit())) {
            const fs::path& file = files[workers.nextToPlan() % files.size()];
            workers.plan(GridJob{file.string(), true, true});
        }
        const std::optional<PreparedGrids> result = workers.take(position);
        const fs::path& file = files[position % files.size()];
        ASSERT_TRUE(result) << file;
        const Alone& expected = alone[file];
        EXPECT_EQ(result->prepared, expected.prepared) << file;
        EXPECT_EQ(result->loggedLines, expected.lines) << file;
        if (expected.prepared) {
            EXPECT_EQ(result->grid8, expected.grid8) << file;
            EXPECT_EQ(result->grid32, expected.grid32) << file;
        }
    }
    // Positions that were never planned, or planned without a job, give nothing; results not
    // taken go with the workers.
    workers.plan(std::nullopt);
    EXPECT_FALSE(workers.take(count));
    EXPECT_FALSE(workers.take(count + 5));
    workers.plan(GridJob{good.string(), true, true});
}

TEST(GridWorkers, AFileMissingOrNotRegularGivesNothingAndOneChangedSinceNoLongerFits) {
    TempDir dir;
    const fs::path photo = writePhoto(dir / "photo.jpg", 2);
    Lumsift calculator;
    const GridJob job{photo.string(), true, false};
    const std::optional<PreparedGrids> grids = prepareAhead(calculator, job);
    ASSERT_TRUE(grids);
    EXPECT_TRUE(grids->prepared);
    EXPECT_TRUE(grids->fitsFile(photo.string(), true, false));
    EXPECT_FALSE(grids->fitsFile(photo.string(), true, true)) << "other kinds asked";
    EXPECT_FALSE(grids->fitsFile((dir / "other.jpg").string(), true, false));
    writePhoto(photo, 3); // replaced after it was read
    EXPECT_FALSE(grids->fitsFile(photo.string(), true, false));

    EXPECT_FALSE(prepareAhead(calculator, GridJob{(dir / "missing.jpg").string(), true, true}));
    EXPECT_FALSE(prepareAhead(calculator, GridJob{dir.path().string(), true, true}));
}

} // namespace
} // namespace lumsift
