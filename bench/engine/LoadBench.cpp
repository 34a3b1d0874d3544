// The library load on a 100,000-version library package (100 projects, tags on half): the
// whole loadLibrary against the scripting interface's bulk reads alone, in one run. Prints both
// times, their ratio (target: at most 1.5) and the heap bytes a version of the loaded lists
// takes (target: under 300).
//
// Run by hand: build-*/bench/engine/load_bench
#include "bench/engine/EngineBench.h"
#include "bench/library/BenchLibrary.h"
#include "platform/log/Log.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

namespace fs = std::filesystem;
using namespace lumsift;

// What the load asks of the application: per project the versions, tag values and tag names.
std::size_t bulkReads(scripting::ApertureApplication& app) {
    std::size_t versions = 0;
    for (const auto& project : app.projects()) {
        versions += project.imageVersions().size();
        const auto values = project.customTagValues();
        const auto names = project.customTagNames();
        versions += values.size() - names.size();
    }
    return versions;
}

} // namespace

int main() {
    std::string pattern = (fs::temp_directory_path() / "load-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path folder = pattern;
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    const fs::path package = folder / "Bench.aplibrary";
    bench::makeBenchLibrary(package);
    photolib::openLibrary(package);

    const auto app = photolib::makeLibraryApplication();
    scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier,
                                                      [app] { return app; });
    setMainThread(std::make_shared<bench::CountingMainThread>());
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
    engine.resetForTesting();
    const auto page = std::make_shared<bench::NoLoadingPage>();
    const log::ScopedSink quiet([](std::string_view) {});

    bulkReads(*app); // warm the page cache for both
    double reads = 1e300;
    double load = 1e300;
    std::size_t versions = 0;
    // Alternating rounds, best of each: both see the same state of the machine.
    for (int round = 0; round < 5; ++round) {
        reads = std::min(reads, bench::millisecondsOf([&] { versions = bulkReads(*app); }));
        load = std::min(load, bench::millisecondsOf([&] { engine.loadLibrary(page); }));
    }
    const std::size_t loaded = LumsiftForApertureTestAccess::loaded(engine).size();
    const double perVersion =
        static_cast<double>(LumsiftForApertureTestAccess::loadedListBytes(engine)) /
        static_cast<double>(std::max<std::size_t>(loaded, 1));

    std::printf("versions read:              %zu (loaded %zu)\n", versions, loaded);
    std::printf("bulk reads alone:           %8.1f ms\n", reads);
    std::printf("whole loadLibrary:          %8.1f ms\n", load);
    std::printf("ratio load / reads:         %8.2f (target: at most 1.5)\n", load / reads);
    std::printf("loaded lists, per version:  %8.1f bytes (target: under 300)\n", perVersion);

    photolib::closeLibrary();
    fs::remove_all(folder);
    return loaded == versions ? 0 : 2;
}
