// Whole-library analysis, serial (one worker) and on every core, against bare fingerprinting of
// the same pictures, in one run over three libraries of referenced masters: the large wallpapers
// (5120 x 2880 JPEGs, 14.7 MP; two of the five are progressive with full-resolution colour, whose
// decoding holds about 88 MiB of coefficients, so the decode memory shared by the workers limits
// how many run at once) repeated under different names; the same pictures saved again as the
// baseline JPEGs with halved colour resolution that cameras write; and pictures of 1920 x 1080
// (2.1 MP) made from the smaller wallpapers.
// Prints for each library and each way: images per second, the speed-up on every core (target:
// at least 6 on 8 CPUs; bare fingerprinting on every core shows what the machine, as loaded
// during the run, allows), the worker count, the peak resident memory after a tenth of the images
// and at the end (target: flat, under 400 MiB), and the step's own cost per image, from its first
// report to its last (target: at most 0.3 ms with the grids prepared ahead).
//
// Run by hand: build-*/bench/engine/analysis_bench [large-count [hd-count]]
// (default: 1000 2000; the camera-JPEG library has large-count pictures too)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/engine/EngineBench.h"
#include "engine/LumsiftForAperture.h"
#include "fingerprint/Lumsift.h"
#include "photolib/LibraryApplication.h"
#include "photolib/LibraryPackage.h"
#include "platform/notify/UserNotifications.h"
#include "platform/vips/Vips.h"

namespace {

namespace fs = std::filesystem;
using namespace lumsift;
using Clock = std::chrono::steady_clock;

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

// Runs posted work at once on the posting thread, so that the page below sees each step's
// reports as the step makes them.
class InlineMainThread : public MainThread {
public:
    void post(std::function<void()> work) override { work(); }
    void runAndWait(std::function<void()> work) override { work(); }
};

// A control that calls `onChange` for each value or text it is given.
class TimingControl : public TextField, public ProgressIndicator {
public:
    explicit TimingControl(std::function<void()> onChange) : onChange_(std::move(onChange)) {}
    void setStringValue(const std::string&) override { onChange_(); }
    void setIndeterminate(bool) override {}
    void setMaxValue(double) override {}
    void setDoubleValue(double) override { onChange_(); }
    void startAnimation() override {}
    void stopAnimation() override {}

private:
    std::function<void()> onChange_;
};

// A loading page that times each step from its first report (the progress value) to its last
// (the analysed count), and takes the peak memory once a tenth of the images is done.
class TimingLoadingPage : public bench::NoLoadingPage {
public:
    explicit TimingLoadingPage(std::size_t images)
        : tenth_(std::max<std::size_t>(images / 10, 1)) {}
    ProgressIndicator* retrievProgressIndicator() override { return &progress_; }
    TextField* analysedImagesLabel() override { return &analysed_; }

    void reset() {
        steps = 0;
        stepSeconds = 0;
        peakAtATenth = 0;
    }
    std::size_t steps = 0;
    double stepSeconds = 0;
    double peakAtATenth = 0;

private:
    const std::size_t tenth_;
    Clock::time_point stepStart_;
    TimingControl progress_{[this] { stepStart_ = Clock::now(); }};
    TimingControl analysed_{[this] {
        stepSeconds += std::chrono::duration<double>(Clock::now() - stepStart_).count();
        if (++steps == tenth_) {
            peakAtATenth = peakMiB();
        }
    }};
};

// `count` names for `sources`, round-robin, as hard links (copies where links fail).
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

// Seconds that fingerprinting `files` of all three kinds takes on `threads` threads, each with
// a calculator of its own taking the next file: the most the analysis can reach on this machine
// as loaded now.
double bareFingerprinting(const std::vector<fs::path>& files, unsigned threads = 1) {
    std::atomic<std::size_t> next{0};
    std::atomic<uint64_t> sink{0};
    const auto fingerprintFiles = [&] {
        Lumsift calculator;
        for (std::size_t i = next++; i < files.size(); i = next++) {
            if (calculator.prepareImageData(files[i], true, true)) {
                sink ^= calculator.calculateLumsift(false) ^ calculator.calculateLumsift(true) ^
                        calculator.calculateHashPro();
            }
        }
    };
    const double elapsed = bench::millisecondsOf([&] {
        std::vector<std::thread> others;
        for (unsigned t = 1; t < threads; ++t) {
            others.emplace_back(fingerprintFiles);
        }
        fingerprintFiles();
        for (std::thread& thread : others) {
            thread.join();
        }
    });
    if (sink == 42) {
        std::printf(" ");
    }
    return elapsed / 1000;
}

// The wallpapers installed in the size `size` ("5120x2880").
std::vector<fs::path> wallpapers(const std::string& size) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator("/usr/share/wallpapers")) {
        const fs::path file = entry.path() / "contents/images" / (size + ".jpg");
        if (fs::exists(file)) {
            found.push_back(file);
        }
    }
    return found;
}

// Each of `sources` saved again into `folder` as a baseline JPEG at quality 90, by `read` (which
// returns a new image, or null when it cannot read the file), its colour subsampled as `colour`
// says.
template <class Read>
std::vector<fs::path> jpegCopies(const std::vector<fs::path>& sources, const fs::path& folder,
                                 Read read, VipsForeignSubsample colour) {
    fs::create_directories(folder);
    std::vector<fs::path> made;
    for (const fs::path& source : sources) {
        const fs::path out = folder / (std::to_string(made.size()) + ".jpg");
        VipsImage* image = read(source);
        if (image == nullptr) {
            continue;
        }
        const vips::ImageRef owned(image);
        if (vips_jpegsave(owned.get(), out.c_str(), "Q", 90, "subsample_mode", colour, nullptr) ==
            0) {
            made.push_back(out);
        }
    }
    return made;
}

// Each of `sources` cut to 1920 x 1080 (the middle, scaled to cover it).
std::vector<fs::path> fullHdPictures(const std::vector<fs::path>& sources, const fs::path& folder) {
    const auto cut = [](const fs::path& source) -> VipsImage* {
        VipsImage* image = nullptr;
        if (vips_thumbnail(source.c_str(), &image, 1920, "height", 1080, "crop",
                           VIPS_INTERESTING_CENTRE, nullptr) != 0) {
            return nullptr;
        }
        return image;
    };
    return jpegCopies(sources, folder, cut, VIPS_FOREIGN_SUBSAMPLE_AUTO);
}

// Each of `sources` as a camera saves a photograph: its colour at half resolution both ways.
std::vector<fs::path> cameraJpegs(const std::vector<fs::path>& sources, const fs::path& folder) {
    const auto whole = [](const fs::path& source) {
        return vips_image_new_from_file(source.c_str(), nullptr);
    };
    return jpegCopies(sources, folder, whole, VIPS_FOREIGN_SUBSAMPLE_ON);
}

struct Outcome {
    double seconds = 0;
    double peakAtATenth = 0;
    double peak = 0;
    double stepMilliseconds = 0;
};

// One whole-library analysis of the loaded library with `workers` workers, every fingerprint
// computed afresh.
Outcome analyse(LumsiftForAperture& engine, photolib::LibraryPackage& library,
                const fs::path& package, const std::shared_ptr<TimingLoadingPage>& page,
                unsigned workers) {
    library.connection().exec("DELETE FROM RKCustomTag");
    engine.loadLibrary(page);
    engine.setApertureLibrary(package.string());
    engine.setAnalysisWorkers(workers);
    page->reset();
    resetPeak();
    Outcome outcome;
    outcome.seconds = bench::millisecondsOf([&] { engine.analyseImages(page); }) / 1000;
    outcome.peak = peakMiB();
    outcome.peakAtATenth = page->peakAtATenth;
    outcome.stepMilliseconds = page->steps > 0 ? 1000 * page->stepSeconds / page->steps : 0;
    return outcome;
}

void printRow(const char* way, int images, unsigned workers, const Outcome& o, double speedUp) {
    std::printf("%-9s %7d %8u %10.2f %9.1f %9.2f %10.1f %10.1f %9.3f\n", way, images, workers,
                o.seconds, images / o.seconds, speedUp, o.peakAtATenth, o.peak, o.stepMilliseconds);
}

// Bare fingerprinting, the serial analysis and the analysis on every core of `count` names for
// `sources`, in a library of its own below `root`.
void measureLibrary(LumsiftForAperture& engine, const std::string& title,
                    const std::vector<fs::path>& sources, int count, const fs::path& root) {
    const fs::path folder = root / title;
    const std::vector<fs::path> files = pictureNames(sources, folder / "pictures", count);
    const fs::path package = folder / "Bench.aplibrary";
    {
        auto created = photolib::LibraryPackage::create(package);
        photolib::ImportOptions options;
        options.project = "Wallpapers";
        options.reference = true;
        created.importFiles(files, options);
    }
    photolib::openLibrary(package);
    auto library = photolib::LibraryPackage::open(package);
    const auto page = std::make_shared<TimingLoadingPage>(files.size());

    std::printf("\n%s: %d pictures\n", title.c_str(), count);
    std::printf("%-9s %7s %8s %10s %9s %9s %10s %10s %9s\n", "way", "images", "workers", "seconds",
                "images/s", "speed-up", "peak@10%", "peak MiB", "step ms");
    resetPeak();
    Outcome bare;
    bare.seconds = bareFingerprinting(files);
    bare.peak = peakMiB();
    printRow("bare", count, 1, bare, 1);
    std::fflush(stdout);
    const unsigned cores = std::max(std::thread::hardware_concurrency(), 1u);
    resetPeak();
    Outcome bareOnEveryCore;
    bareOnEveryCore.seconds = bareFingerprinting(files, cores);
    bareOnEveryCore.peak = peakMiB();
    printRow("bare", count, cores, bareOnEveryCore, bare.seconds / bareOnEveryCore.seconds);
    std::fflush(stdout);
    const Outcome serial = analyse(engine, library, package, page, 1);
    printRow("serial", count, 1, serial, 1);
    std::fflush(stdout);
    const Outcome parallel = analyse(engine, library, package, page, 0);
    printRow("parallel", count, cores, parallel, serial.seconds / parallel.seconds);
    std::printf("serial analysis / bare fingerprinting: %.3f\n", serial.seconds / bare.seconds);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const int largeCount = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int hdCount = argc > 2 ? std::atoi(argv[2]) : 2000;
    const std::vector<fs::path> large = wallpapers("5120x2880");
    const fs::path root =
        fs::temp_directory_path() / ("analysis-bench-" + std::to_string(getpid()));
    vips::start();
    const std::vector<fs::path> hd = fullHdPictures(wallpapers("1920x1080"), root / "hd-sources");
    const std::vector<fs::path> camera = cameraJpegs(large, root / "camera-sources");
    if (large.empty() || hd.empty() || camera.empty()) {
        std::fprintf(stderr, "analysis_bench: no wallpapers in /usr/share/wallpapers\n");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    // The allocator as the analysis' workers set it (a fixed mapping threshold), for the bare
    // rows too: otherwise their threads' arenas keep the large buffers they freed, and the rows
    // after them start from that much more memory.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    setMainThread(std::make_shared<InlineMainThread>());
    photolib::registerLibraryApplication();
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
    engine.setAppDelegate(std::make_shared<bench::NoDelegate>());
    engine.setUserNotifications(std::make_shared<NoNotifications>());
    bareFingerprinting(large); // warm the page cache and the decoder
    bareFingerprinting(hd);
    bareFingerprinting(camera);

    std::printf("hardware threads: %u\n", std::thread::hardware_concurrency());
    measureLibrary(engine, "5120x2880", large, largeCount, root);
    measureLibrary(engine, "5120x2880-camera", camera, largeCount, root);
    measureLibrary(engine, "1920x1080", hd, hdCount, root);
    photolib::closeLibrary();
    fs::remove_all(root);
    return 0;
}
