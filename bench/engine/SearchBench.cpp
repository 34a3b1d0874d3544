// One search target against 1,000,000 loaded fingerprints, with rotations and without any
// match (so no keywording): the whole detectSimilar against a bare loop of 4 x 1,000,000
// popcounts over the same values, in one run. Prints both times and their ratio (target: at most
// 3, and the search under 50 ms).
//
// Run by hand: build-*/bench/engine/search_bench
#include "bench/engine/EngineBench.h"
#include "fingerprint/Lumsift.h"
#include "tests/support/FakeApertureApplication.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

namespace {

using namespace lumsift;
using Access = LumsiftForApertureTestAccess;

constexpr std::size_t kImages = 1'000'000;

} // namespace

int main() {
    const auto app = scripting::FakeApertureApplication::make();
    scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier,
                                                      [app] { return app; });
    const auto mainThread = std::make_shared<bench::CountingMainThread>();
    setMainThread(mainThread);
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
    engine.resetForTesting();
    engine.switchSearchAlgorithm(kAlgorithmPlus);

    // The loaded library, as a load leaves it: versions, identifiers, plus fingerprints.
    std::mt19937_64 random(42);
    const uint64_t target = 0x00FF00FF00FF00FFull;
    LoadedLibrary& loaded = Access::loaded(engine);
    loaded.startLoad(); // the search list moves to the new plus list
    std::vector<uint64_t> values(kImages);
    for (std::size_t i = 0; i < kImages; ++i) {
        std::string id = "5F2C7A10-0B4D-4E8A-9C3E-" + std::to_string(100000000000 + i);
        // Far from the target in every quarter-turn: sensitivity 0 finds nothing.
        uint64_t value = random() | 1;
        if (value == target)
            value ^= 2;
        values[i] = value;
        loaded.appendImage(ImageVersion(app, id), std::move(id),
                           {std::nullopt, value, std::nullopt});
    }
    loaded.finishLoad();
    app->setCustomTag("target", kTagPlus, std::to_string(target));
    app->setSelection({"target"});
    const auto page = std::make_shared<bench::NoResultsPage>(0);

    int64_t sum = 0;
    double bare = 1e300;
    double search = 1e300;
    double distances = 1e300;
    for (int round = 0; round < 15; ++round) {
        bare = std::min(bare, bench::millisecondsOf([&] {
                            int64_t s = 0;
                            for (const uint64_t v : values)
                                s += std::popcount(target ^ v) + std::popcount(target ^ (v + 1)) +
                                     std::popcount(target ^ (v + 2)) +
                                     std::popcount(target ^ (v + 3));
                            sum += s;
                        }));
        distances = std::min(distances, bench::millisecondsOf([&] {
                                 int64_t s = 0;
                                 for (const uint64_t v : values)
                                     s += Lumsift::hammingDistance(target, v, true);
                                 sum += s;
                             }));
        mainThread->posts = 0;
        search = std::min(search, bench::millisecondsOf([&] { engine.detectSimilar(page); }));
    }

    std::printf("fingerprints compared:      %zu, with rotations (checksum %lld)\n", kImages,
                static_cast<long long>(sum % 1000));
    std::printf("bare 4 x 1,000,000 popcount:%8.2f ms\n", bare);
    std::printf("hammingDistance calls alone:%8.2f ms\n", distances);
    std::printf("detectSimilar, one target:  %8.2f ms (%zu posts to the main thread)\n", search,
                mainThread->posts);
    std::printf("ratio search / bare loop:   %8.2f (target: at most 3, and under 50 ms)\n",
                search / bare);
    return 0;
}
