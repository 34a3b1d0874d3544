// Benchmark: fingerprint throughput on large JPEGs (prepare plus the plain, plus and Pro
// fingerprints) side by side with the decode limit, the same files decoded at 1/8 scale by
// libjpeg-turbo alone; and the rotation-aware distance against a bare population count loop.
// With --raw: the same on 24-megapixel camera RAWs (DNGs of 6000 x 4000 that it writes, with a
// full-size preview as most cameras embed it and with a 1616-pixel one as some do), against the
// limit of decoding the embedded preview alone (its bytes read from the file, decoded at 1/8);
// and the half-size development of the same RAWs without a preview.
// Usage: fingerprint_bench [--generated | --raw [count] | large.jpg ...]   (default: the
// 5120 x 2880 desktop wallpapers, or generated 12 MP pictures when there are none; 4 RAWs of each
// kind)
#include "fingerprint/Lumsift.h"
#include "platform/raw/Raw.h"
#include "platform/vips/Vips.h"
#include "tests/support/RawImages.h"
#include "tests/support/TestImages.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<fs::path> wallpapers() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/share/wallpapers", ec)) {
        const fs::path file = entry.path() / "contents/images/5120x2880.jpg";
        if (fs::exists(file, ec))
            found.push_back(file);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Four 4256 x 2848 (12.1 MP) JPEGs of smooth noise, written into `folder`.
std::vector<fs::path> generated(const fs::path& folder) {
    std::vector<fs::path> made;
    for (int i = 0; i < 4; ++i) {
        const lumsift::vips::Result noise = lumsift::vips::call([&](VipsImage** out) {
            return vips_perlin(out, 4256, 2848, "cell_size", 300, "uchar", TRUE, "seed", i,
                               nullptr);
        });
        const lumsift::vips::Result colour = lumsift::vips::call([&](VipsImage** out) {
            VipsImage* bands[3] = {noise.image.get(), noise.image.get(), noise.image.get()};
            return vips_bandjoin(bands, out, 3, nullptr);
        });
        const fs::path file = folder / ("generated-" + std::to_string(i) + ".jpg");
        if (!colour || vips_jpegsave(colour.image.get(), file.c_str(), "Q", 90, nullptr) != 0) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            continue;
        }
        made.push_back(file);
    }
    return made;
}

// Decodes the JPEG whose source `info` has (its reader made) at 1/8 scale, every scanline read,
// into `rows`, and destroys the reader.
void decodeEighthFrom(jpeg_decompress_struct& info, std::vector<unsigned char>& rows) {
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = 8;
    jpeg_start_decompress(&info);
    const size_t stride = static_cast<size_t>(info.output_width) * info.output_components;
    rows.resize(stride * info.output_height);
    std::vector<JSAMPROW> pointers(info.output_height);
    for (JDIMENSION y = 0; y < info.output_height; ++y)
        pointers[y] = rows.data() + stride * y;
    while (info.output_scanline < info.output_height)
        jpeg_read_scanlines(&info, pointers.data() + info.output_scanline,
                            info.output_height - info.output_scanline);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
}

// The decode limit: libjpeg alone, DCT-scaled to 1/8, every scanline read. False on failure.
bool decodeEighth(const fs::path& file, std::vector<unsigned char>& rows) {
    FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        return false;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, in);
    decodeEighthFrom(info, rows);
    std::fclose(in);
    return true;
}

// Where a RAW keeps its embedded preview, as LibRaw finds it.
struct PreviewPlace {
    fs::path file;
    std::streamoff offset = 0;
    std::streamsize length = 0;
};

PreviewPlace previewOf(const fs::path& file) {
    lumsift::raw::Processor raw;
    if (!raw.open(file, 512))
        return {file};
    const auto& internal = raw.get().get_internal_data_pointer()->internal_data;
    return {file, static_cast<std::streamoff>(internal.toffset),
            static_cast<std::streamsize>(raw.data().thumbnail.tlength)};
}

// The RAW limit: the preview's bytes read from the file and decoded by libjpeg alone at 1/8.
// False on failure.
bool decodePreviewAlone(const PreviewPlace& place, std::vector<unsigned char>& rows) {
    std::ifstream in(place.file, std::ios::binary);
    std::vector<unsigned char> bytes(static_cast<size_t>(place.length));
    if (bytes.empty() || !in.seekg(place.offset) ||
        !in.read(reinterpret_cast<char*>(bytes.data()), place.length))
        return false;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), bytes.size());
    decodeEighthFrom(info, rows);
    return true;
}

// Seconds per image to prepare and fingerprint `files` once with `calc`; negative on failure.
double fingerprintSeconds(lumsift::Lumsift& calc, const std::vector<fs::path>& files,
                          uint64_t& checksum) {
    const Clock::time_point start = Clock::now();
    for (const fs::path& file : files) {
        if (!calc.prepareImageData(file, true, true)) {
            std::fprintf(stderr, "cannot prepare %s\n", file.c_str());
            return -1;
        }
        checksum += calc.calculateLumsift(false);
        checksum += calc.calculateLumsift(true);
        checksum += calc.calculateHashPro();
    }
    return secondsSince(start) / static_cast<double>(files.size());
}

// Fingerprinting `files` against `limit` (the limit's decode of file i into the rows; false on
// failure): alternating passes, best of each, so that both see the same warm file cache and
// clock. Prints both per image and their ratio.
void throughput(const std::vector<fs::path>& files, const char* limitName,
                const std::function<bool(size_t, std::vector<unsigned char>&)>& limit) {
    lumsift::Lumsift calc;
    std::vector<unsigned char> rows;
    uint64_t checksum = 0;
    double bestOurs = 1e30;
    double bestLimit = 1e30;
    for (int pass = 0; pass < 5; ++pass) {
        const Clock::time_point start = Clock::now();
        for (size_t i = 0; i < files.size(); ++i) {
            if (!limit(i, rows)) {
                std::fprintf(stderr, "the limit cannot read %s\n", files[i].c_str());
                return;
            }
            checksum += rows[rows.size() / 2];
        }
        bestLimit = std::min(bestLimit, secondsSince(start) / static_cast<double>(files.size()));
        const double ours = fingerprintSeconds(calc, files, checksum);
        if (ours < 0)
            return;
        bestOurs = std::min(bestOurs, ours);
    }
    std::printf("fingerprints (prepare + plain + plus + Pro): %8.1f images/s  (%.2f ms/image)\n",
                1 / bestOurs, 1000 * bestOurs);
    std::printf("%-44s %8.1f images/s  (%.2f ms/image)\n", limitName, 1 / bestLimit,
                1000 * bestLimit);
    std::printf("ratio ours / limit per image: %.2f (target at most 1.30)   [checksum %llu]\n",
                bestOurs / bestLimit, static_cast<unsigned long long>(checksum));
}

void distances() {
    constexpr size_t kCount = 4096;
    std::mt19937_64 random(1);
    std::vector<uint64_t> a(kCount);
    std::vector<uint64_t> b(kCount);
    for (size_t i = 0; i < kCount; ++i) {
        a[i] = random();
        b[i] = random();
    }
    constexpr size_t kRows = 4096; // kRows x kCount comparisons a run
    auto run = [&](auto&& distance) {
        int64_t sum = 0;
        double best = 1e30;
        for (int pass = 0; pass < 3; ++pass) {
            const Clock::time_point start = Clock::now();
            for (size_t i = 0; i < kRows; ++i) {
                const uint64_t x = a[i % kCount];
                for (size_t j = 0; j < kCount; ++j)
                    sum += distance(x, b[j]);
            }
            best = std::min(best, secondsSince(start));
        }
        return std::pair(static_cast<double>(kRows * kCount) / best, sum);
    };
    const auto [rotations, sumRotations] =
        run([](uint64_t x, uint64_t y) { return lumsift::Lumsift::hammingDistance(x, y, true); });
    const auto [bare, sumBare] =
        run([](uint64_t x, uint64_t y) { return static_cast<int64_t>(std::popcount(x ^ y)); });
    std::printf(
        "hammingDistance with rotations: %8.1f million comparisons/s (target at least 100)\n",
        rotations / 1e6);
    std::printf("bare popcount loop:             %8.1f million comparisons/s\n", bare / 1e6);
    std::printf("ratio rotations / bare rate: %.3f   [checksums %lld %lld]\n", rotations / bare,
                static_cast<long long>(sumRotations), static_cast<long long>(sumBare));
}

// A folder for generated pictures, removed at the end.
struct ScratchFolder {
    fs::path path = fs::temp_directory_path() / "lumsift-bench";
    ScratchFolder() { fs::create_directories(path); }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};

// The RAW road on 24-megapixel DNGs written into `folder`: with a full-size and with a small
// preview against the preview alone, and developed at half size without one.
void rawThroughput(const fs::path& folder, int count) {
    using namespace lumsift::testimages;
    constexpr int kWidth = 6000, kHeight = 4000;
    std::vector<fs::path> full, small, none;
    for (int i = 0; i < count; ++i) {
        const PhotoPixels picture = resized(photoPixels(i), kWidth, kHeight);
        const std::string stem = (folder / ("shot" + std::to_string(i))).string();
        full.push_back(writeDng(stem + "-full.dng", picture, {6, DngPreview::Jpeg, 0}));
        small.push_back(writeDng(stem + "-small.dng", picture, {6, DngPreview::Jpeg, 1616}));
        none.push_back(writeDng(stem + "-none.dng", picture, {6, DngPreview::None, 0}));
    }
    std::printf("%d DNGs of %d x %d of each kind (%s photos), %.1f MB each\n", count, kWidth,
                kHeight, photosFromWallpapers() ? "wallpaper" : "generated",
                static_cast<double>(fs::file_size(full.front())) / 1e6);
    for (const auto& [name, files] : {std::pair{"full-size preview (6000 x 4000)", &full},
                                      {"small preview (1616 x 1077)", &small}}) {
        std::vector<PreviewPlace> places;
        for (const fs::path& file : *files)
            places.push_back(previewOf(file));
        std::printf("%s:\n", name);
        throughput(*files, "limit: the preview alone (libjpeg at 1/8):",
                   [&places](size_t i, std::vector<unsigned char>& rows) {
                       return decodePreviewAlone(places[i], rows);
                   });
    }
    lumsift::Lumsift calc;
    uint64_t checksum = 0;
    double best = 1e30;
    for (int pass = 0; pass < 3; ++pass)
        best = std::min(best, fingerprintSeconds(calc, none, checksum));
    std::printf("no preview, half-size development: %.2f ms/image   [checksum %llu]\n", 1000 * best,
                static_cast<unsigned long long>(checksum));
}

} // namespace

int main(int argc, char** argv) {
    if (!lumsift::vips::start())
        return 1;
    if (argc >= 2 && std::string(argv[1]) == "--raw") {
        const ScratchFolder scratch;
        const int count =
            std::clamp(argc > 2 ? std::atoi(argv[2]) : 4, 1, lumsift::testimages::photoCount());
        rawThroughput(scratch.path, count);
        return 0;
    }
    const bool generate = argc == 2 && std::string(argv[1]) == "--generated";
    std::vector<fs::path> files =
        generate ? std::vector<fs::path>() : std::vector<fs::path>(argv + 1, argv + argc);
    std::optional<ScratchFolder> scratch;
    if (files.empty() && !generate)
        files = wallpapers();
    if (files.empty()) {
        scratch.emplace();
        files = generated(scratch->path);
    }
    if (files.empty()) {
        std::fprintf(stderr, "no pictures to measure\n");
        return 1;
    }
    std::printf("%zu pictures, first %s\n", files.size(), files.front().c_str());
    throughput(files, "decode limit (libjpeg-turbo at 1/8):",
               [&files](size_t i, std::vector<unsigned char>& rows) {
                   return decodeEighth(files[i], rows);
               });
    distances();
    return 0;
}
