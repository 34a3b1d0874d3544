// Whole-library analysis against bare fingerprinting of the same large JPEGs, in one run: the
// wallpapers (5120 x 2880) repeated under different names into libraries of 200 and 1,000
// referenced masters. Prints the time of each, their ratio (target: at most 1.15), and the peak
// resident memory of each (target: flat in the number of images).
//
// Run by hand: build-*/bench/engine/analysis_bench [count...]   (default: 200 1000)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/engine/EngineBench.h"
#include "engine/LumsiftForAperture.h"
#include "fingerprint/Lumsift.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"
#include "platform/notify/UserNotifications.h"

namespace {

namespace fs = std::filesystem;
using namespace lumsift;

class NoNotifications : public UserNotifications {
public:
    void deliver(const std::string&, const std::string&, bool) override {}
};

// Peak resident set (VmHWM) in MiB since the last reset.
double peakMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

// Starts a new peak measurement (Linux: writing 5 to clear_refs resets VmHWM).
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// `count` names for the wallpapers, round-robin, as hard links (copies where links fail).
std::vector<fs::path> pictureNames(const std::vector<fs::path>& sources, const fs::path& folder,
                                   int count) {
    fs::create_directories(folder);
    std::vector<fs::path> files;
    for (int i = 0; i < count; ++i) {
        const fs::path& source = sources[static_cast<std::size_t>(i) % sources.size()];
        const fs::path name = folder / std::string("w").append(std::to_string(i)).append(".jpg");
        std::error_code ec;
        fs::create_hard_link(source, name, ec);
        if (ec) {
            fs::copy_file(source, name, fs::copy_options::overwrite_existing);
        }
        files.push_back(name);
    }
    return files;
}

// Seconds that fingerprinting `files` of all three kinds takes.
double bareFingerprinting(const std::vector<fs::path>& files) {
    Lumsift calculator;
    uint64_t sink = 0;
    const double elapsed = bench::millisecondsOf([&] {
        for (const fs::path& file : files) {
            if (calculator.prepareImageData(file, true, true)) {
                sink ^= calculator.calculateLumsift(false);
                sink ^= calculator.calculateLumsift(true);
                sink ^= calculator.calculateHashPro();
            }
        }
    });
    if (sink == 42) {
        std::printf(" ");
    }
    return elapsed / 1000;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {200, 1000};
    }
    std::vector<fs::path> sources;
    for (const auto& entry : fs::directory_iterator("/usr/share/wallpapers")) {
        const fs::path file = entry.path() / "contents/images/5120x2880.jpg";
        if (fs::exists(file)) {
            sources.push_back(file);
        }
    }
    if (sources.empty()) {
        std::fprintf(stderr, "analysis_bench: no wallpapers in /usr/share/wallpapers\n");
        return 1;
    }
    const fs::path root =
        fs::temp_directory_path() / ("analysis-bench-" + std::to_string(getpid()));
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    setMainThread(std::make_shared<bench::CountingMainThread>());
    photolib::registerLibraryApplication();
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
    engine.setAppDelegate(std::make_shared<bench::NoDelegate>());
    engine.setUserNotifications(std::make_shared<NoNotifications>());
    bareFingerprinting(sources); // warm the page cache and the decoder

    std::printf("%8s %12s %12s %8s %14s %14s\n", "images", "bare s", "analysis s", "ratio",
                "bare peak", "analysis peak");
    for (const int count : counts) {
        const fs::path folder = root / std::string("n").append(std::to_string(count));
        const std::vector<fs::path> files = pictureNames(sources, folder / "pictures", count);
        const fs::path package = folder / "Bench.aplibrary";
        {
            auto library = photolib::LibraryPackage::create(package);
            photolib::ImportOptions options;
            options.project = "Wallpapers";
            options.reference = true;
            library.importFiles(files, options);
        }
        photolib::openLibrary(package);
        const auto page = std::make_shared<bench::NoLoadingPage>();
        engine.loadLibrary(page);
        engine.setApertureLibrary(package.string());

        resetPeak();
        const double bare = bareFingerprinting(files);
        const double barePeak = peakMiB();
        resetPeak();
        const double analysis = bench::millisecondsOf([&] { engine.analyseImages(page); }) / 1000;
        std::printf("%8d %12.2f %12.2f %8.3f %10.1f MiB %10.1f MiB\n", count, bare, analysis,
                    analysis / bare, barePeak, peakMiB());
        std::fflush(stdout);
    }
    photolib::closeLibrary();
    fs::remove_all(root);
    return 0;
}
