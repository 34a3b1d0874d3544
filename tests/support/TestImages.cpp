// Test pictures: photos cut from installed wallpapers or generated from seeded noise, their
// variants, and the small odd files that bad-input tests need; temporary folders.
#include "tests/support/TestImages.h"

#include "platform/vips/Vips.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace lumsift::testimages {
namespace {

constexpr int kPhotoWidth = 320;
constexpr int kGeneratedHeight = 240;
constexpr int kPhotoCount = 5;

// Wallpapers of distinct subjects (Debian's plasma-workspace-wallpapers), chosen so that their
// fingerprints lie far apart; all must exist to be used.
constexpr std::array<const char*, kPhotoCount> kWallpapers = {
    "BytheWater/contents/images/2560x1600.jpg", "ColorfulCups/contents/images/2560x1600.jpg",
    "FallenLeaf/contents/images/2560x1600.jpg", "Flow/contents/images/5120x2880.jpg",
    "Volna/contents/images/5120x2880.jpg"};

std::filesystem::path wallpaperFile(const char* name) {
    return std::filesystem::path("/usr/share/wallpapers") / name;
}

std::atomic<bool> generatedOnly{false};

vips::Result must(vips::Result result, const char* what) {
    if (!result)
        throw std::runtime_error(std::string(what) + ": " + result.error);
    return result;
}

void startVips() {
    if (!vips::start())
        throw std::runtime_error("libvips did not start");
}

// A photo-like picture from seeded noise: a few smooth colour fields, some soft-edged shapes
// and fine grain. Only the generator's raw output is used, so the pixels are the same everywhere.
std::vector<uint8_t> generatedPixels(int index) {
    std::mt19937 random(static_cast<uint32_t>(31337 * (index + 1)));
    auto unit = [&random] { return static_cast<double>(random() % 100000) / 100000.0; };
    const int w = kPhotoWidth, h = kGeneratedHeight;
    constexpr int kCellsX = 5, kCellsY = 4;
    // Brightness varies strongly from cell to cell; each cell has its own tint.
    std::array<std::array<std::array<double, 3>, kCellsX + 1>, kCellsY + 1> field{};
    for (auto& row : field)
        for (auto& cell : row)
            for (const double brightness = 10 + 235 * unit(); double& channel : cell)
                channel = brightness * (0.7 + 0.3 * unit());
    struct Shape {
        double x, y, rx, ry;
        std::array<double, 3> colour;
    };
    std::vector<Shape> shapes(3);
    for (Shape& s : shapes) {
        const double brightness = unit() < 0.5 ? 30 * unit() : 225 + 30 * unit();
        s = {unit() * w,
             unit() * h,
             15 + 45 * unit(),
             15 + 45 * unit(),
             {brightness, brightness * (0.8 + 0.2 * unit()), brightness * (0.8 + 0.2 * unit())}};
    }

    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double fx = static_cast<double>(x) / w * kCellsX;
            const double fy = static_cast<double>(y) / h * kCellsY;
            const int cx = static_cast<int>(fx), cy = static_cast<int>(fy);
            const double tx = (fx - cx) * (fx - cx) * (3 - 2 * (fx - cx));
            const double ty = (fy - cy) * (fy - cy) * (3 - 2 * (fy - cy));
            const double grain = static_cast<double>(random() % 21) - 10;
            for (int c = 0; c < 3; ++c) {
                const double top = field[cy][cx][c] * (1 - tx) + field[cy][cx + 1][c] * tx;
                const double bottom =
                    field[cy + 1][cx][c] * (1 - tx) + field[cy + 1][cx + 1][c] * tx;
                double value = top * (1 - ty) + bottom * ty;
                for (const Shape& s : shapes) {
                    const double d = std::hypot((x - s.x) / s.rx, (y - s.y) / s.ry);
                    const double cover = std::clamp((1.2 - d) / 0.4, 0.0, 1.0);
                    value = value * (1 - cover) + s.colour[c] * cover;
                }
                pixels[(static_cast<size_t>(y) * w + x) * 3 + c] =
                    static_cast<uint8_t>(std::clamp(value + grain, 0.0, 255.0));
            }
        }
    }
    return pixels;
}

PhotoPixels makePhoto(int index) {
    if (photosFromWallpapers()) {
        const std::string file = wallpaperFile(kWallpapers[index]).string();
        const vips::Result small =
            must(vips::call([&](VipsImage** out) {
                     return vips_thumbnail(file.c_str(), out, kPhotoWidth, nullptr);
                 }),
                 "cutting a wallpaper");
        size_t size = 0;
        void* bytes = vips_image_write_to_memory(small.image.get(), &size);
        if (bytes == nullptr || small.image.get()->Bands != 3)
            throw std::runtime_error("reading a wallpaper");
        PhotoPixels photo{
            std::vector<uint8_t>(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size),
            small.image.get()->Xsize, small.image.get()->Ysize};
        g_free(bytes);
        return photo;
    }
    return {generatedPixels(index), kPhotoWidth, kGeneratedHeight};
}

// Photo `index`, made once and kept for the process.
const PhotoPixels& cachedPhoto(int index) {
    if (index < 0 || index >= kPhotoCount)
        throw std::runtime_error("no photo " + std::to_string(index));
    startVips();
    static std::mutex mutex;
    static std::map<std::pair<bool, int>, PhotoPixels> cache;
    const std::lock_guard lock(mutex);
    const std::pair key(photosFromWallpapers(), index);
    auto found = cache.find(key);
    if (found == cache.end())
        found = cache.emplace(key, makePhoto(index)).first;
    return found->second;
}

// Photo `index` as an sRGB image (borrowing the cached pixels, which live for the process).
vips::Result photoImage(int index) {
    const PhotoPixels& photo = cachedPhoto(index);
    return must(
        vips::adopt(vips_image_new_from_memory(photo.rgb.data(), photo.rgb.size(), photo.width,
                                               photo.height, 3, VIPS_FORMAT_UCHAR)),
        "wrapping a photo");
}

vips::Result recompressed(const vips::Result& image, int quality) {
    void* buffer = nullptr;
    size_t size = 0;
    if (vips_jpegsave_buffer(image.image.get(), &buffer, &size, "Q", quality, nullptr) != 0)
        throw std::runtime_error(std::string("recompressing: ") + vips_error_buffer());
    const vips::Result loaded = vips::adopt(vips_image_new_from_buffer(buffer, size, "", nullptr));
    vips::Result decoded =
        loaded ? vips::adopt(vips_image_copy_memory(loaded.image.get())) : vips::Result{};
    g_free(buffer);
    return must(std::move(decoded), "decoding a recompressed photo");
}

// Throws with libvips' message unless `failed` (a libvips return code) is 0.
void wrote(int failed, const std::filesystem::path& file) {
    if (failed == 0)
        return;
    const std::string message = vips_error_buffer();
    vips_error_clear();
    throw std::runtime_error("writing " + file.string() + ": " + message);
}

void save(const vips::Result& image, const std::filesystem::path& file, Format format,
          int quality) {
    VipsImage* const in = image.image.get();
    const char* name = file.c_str();
    wrote(format == Format::Jpeg   ? vips_jpegsave(in, name, "Q", quality, nullptr)
          : format == Format::Png  ? vips_pngsave(in, name, nullptr)
          : format == Format::WebP ? vips_webpsave(in, name, "Q", quality, nullptr)
                                   : vips_tiffsave(in, name, nullptr),
          file);
}

} // namespace

PhotoPixels photoPixels(int index) {
    return cachedPhoto(index);
}

std::filesystem::path writePicture(const std::filesystem::path& file, const PhotoPixels& picture,
                                   int orientation, bool sixteenBits) {
    startVips();
    vips::Result image = must(vips::adopt(vips_image_new_from_memory_copy(
                                  picture.rgb.data(), picture.rgb.size(), picture.width,
                                  picture.height, 3, VIPS_FORMAT_UCHAR)),
                              "wrapping a picture");
    if (sixteenBits) {
        const vips::Result wide = must(vips::call([&](VipsImage** out) {
                                           return vips_linear1(image.image.get(), out, 257.0, 0.0,
                                                               "uchar", FALSE, nullptr);
                                       }),
                                       "widening a picture");
        const vips::Result samples =
            must(vips::call([&](VipsImage** out) {
                     return vips_cast(wide.image.get(), out, VIPS_FORMAT_USHORT, nullptr);
                 }),
                 "widening a picture");
        image = must(vips::call([&](VipsImage** out) {
                         return vips_copy(samples.image.get(), out, "interpretation",
                                          VIPS_INTERPRETATION_RGB16, nullptr);
                     }),
                     "widening a picture");
    }
    if (orientation != 1)
        vips_image_set_int(image.image.get(), VIPS_META_ORIENTATION, orientation);
    wrote(vips_image_write_to_file(image.image.get(), file.c_str(), nullptr), file);
    const std::string name = file.string();
    return name.ends_with(']') ? std::filesystem::path(name.substr(0, name.rfind('['))) : file;
}

std::filesystem::path writeAnimatedGif(const std::filesystem::path& file,
                                       const std::vector<PhotoPixels>& frames) {
    startVips();
    // libvips keeps the frames one below the other, each "page-height" rows.
    PhotoPixels strip{{}, frames.at(0).width, 0};
    for (const PhotoPixels& frame : frames) {
        if (frame.width != strip.width)
            throw std::runtime_error("frames of different widths");
        strip.rgb.insert(strip.rgb.end(), frame.rgb.begin(), frame.rgb.end());
        strip.height += frame.height;
    }
    const vips::Result image =
        must(vips::adopt(vips_image_new_from_memory(strip.rgb.data(), strip.rgb.size(), strip.width,
                                                    strip.height, 3, VIPS_FORMAT_UCHAR)),
             "wrapping frames");
    vips_image_set_int(image.image.get(), "page-height", frames.at(0).height);
    wrote(vips_gifsave(image.image.get(), file.c_str(), nullptr), file);
    return file;
}

std::string_view suffixOf(Format format) {
    constexpr std::array<std::string_view, 4> kSuffixes = {"jpg", "png", "webp", "tif"};
    return kSuffixes.at(static_cast<size_t>(format));
}

int photoCount() {
    return kPhotoCount;
}

bool photosFromWallpapers() {
    if (generatedOnly)
        return false;
    static const bool installed =
        std::all_of(kWallpapers.begin(), kWallpapers.end(), [](const char* name) {
            std::error_code ec;
            return std::filesystem::exists(wallpaperFile(name), ec);
        });
    return installed;
}

void useGeneratedPhotos(bool generated) {
    generatedOnly = generated;
}

std::filesystem::path writePhoto(const std::filesystem::path& file, int index, Variant variant,
                                 Format format) {
    vips::Result image = photoImage(index);
    int quality = 90;
    switch (variant) {
    case Variant::Original:
        break;
    case Variant::Half:
        image = must(vips::call([&](VipsImage** out) {
                         return vips_resize(image.image.get(), out, 0.5, nullptr);
                     }),
                     "halving a photo");
        break;
    case Variant::Quality40:
        quality = 40;
        // JPEG and WebP are saved at quality 40; lossless formats get the JPEG-degraded pixels.
        if (format != Format::Jpeg && format != Format::WebP)
            image = recompressed(image, quality);
        break;
    case Variant::QuarterTurn:
        image = must(vips::call([&](VipsImage** out) {
                         return vips_rot(image.image.get(), out, VIPS_ANGLE_D90, nullptr);
                     }),
                     "turning a photo");
        break;
    }
    save(image, file, format, quality);
    return file;
}

std::filesystem::path writePhotoIn(const std::filesystem::path& folder, int index, Variant variant,
                                   Format format) {
    constexpr std::array<const char*, 4> kVariants = {"original", "half", "q40", "turned"};
    const std::string name = "photo" + std::to_string(index) + "-" +
                             kVariants.at(static_cast<size_t>(variant)) + "." +
                             std::string(suffixOf(format));
    return writePhoto(folder / name, index, variant, format);
}

std::filesystem::path writeTransparentPhoto(const std::filesystem::path& file, int index) {
    const vips::Result image = photoImage(index);
    const int w = image.image.get()->Xsize, h = image.image.get()->Ysize;
    std::vector<uint8_t> alpha(static_cast<size_t>(w) * h, 0);
    for (int y = h / 4; y < h - h / 4; ++y)
        std::fill_n(alpha.begin() + static_cast<std::ptrdiff_t>(y) * w + w / 4, w - 2 * (w / 4),
                    uint8_t{255});
    const vips::Result mask = must(vips::adopt(vips_image_new_from_memory_copy(
                                       alpha.data(), alpha.size(), w, h, 1, VIPS_FORMAT_UCHAR)),
                                   "making a mask");
    const vips::Result joined =
        must(vips::call([&](VipsImage** out) {
                 return vips_bandjoin2(image.image.get(), mask.image.get(), out, nullptr);
             }),
             "adding alpha");
    save(joined, file, Format::Png, 100);
    return file;
}

std::filesystem::path writeSolid(const std::filesystem::path& file, int width, int height,
                                 uint8_t red, uint8_t green, uint8_t blue) {
    startVips();
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = std::array{red, green, blue}[i % 3];
    const vips::Result image =
        must(vips::adopt(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width,
                                                         height, 3, VIPS_FORMAT_UCHAR)),
             "making a solid picture");
    wrote(vips_image_write_to_file(image.image.get(), file.c_str(), nullptr), file);
    return file;
}

std::filesystem::path writeBytes(const std::filesystem::path& file, std::string_view text) {
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!stream)
        throw std::runtime_error("writing " + file.string());
    return file;
}

std::string readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::filesystem::path writeTruncatedCopy(const std::filesystem::path& from,
                                         const std::filesystem::path& to, std::uintmax_t keep) {
    return writeBytes(to, readBytes(from).substr(0, static_cast<size_t>(keep)));
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("lumsift-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace lumsift::testimages
