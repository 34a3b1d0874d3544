// Pictures and files for tests: a few distinct photo-like pictures (cut from the desktop
// wallpapers when they are installed, generated otherwise) and their variants, written as small
// files in the formats the renderer reads; whole files written and read; temporary folders. Every
// function that writes throws std::runtime_error when it cannot.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace lumsift::testimages {

enum class Format { Jpeg, Png, WebP, Tiff };

// Original is a few hundred pixels a side; Half is resized to 50 %; Quality40 recompressed as
// JPEG (or WebP) at quality 40; QuarterTurn turned clockwise.
enum class Variant { Original, Half, Quality40, QuarterTurn };

std::string_view suffixOf(Format format); // "jpg", "png", "webp", "tif"

// Number of distinct photos (at least 4). Photos with different indexes are unrelated pictures.
int photoCount();

// True when the photos are cut from installed wallpapers, false when they are generated.
bool photosFromWallpapers();

// Makes later photos generated even when wallpapers are installed.
void useGeneratedPhotos(bool generated);

// Photo `index` (0 <= index < photoCount()) as R, G, B bytes, rows from the top.
struct PhotoPixels {
    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
};
PhotoPixels photoPixels(int index);

// Writes `picture` in the format of the suffix of `file`, after which libvips' save options may
// follow in brackets ("photo.png[interlace]"): with the EXIF `orientation` unless it is 1, and with
// `sixteenBits`, as 16-bit samples (each 8-bit value times 257). Returns `file` without the
// options.
std::filesystem::path writePicture(const std::filesystem::path& file, const PhotoPixels& picture,
                                   int orientation = 1, bool sixteenBits = false);

// Writes `frames` (of one size) as an animated GIF, in their order. Returns `file`.
std::filesystem::path writeAnimatedGif(const std::filesystem::path& file,
                                       const std::vector<PhotoPixels>& frames);

// Writes photo `index` (0 <= index < photoCount()) as `variant` in `format` to `file`
// (overwritten; the folder must exist). Returns `file`.
std::filesystem::path writePhoto(const std::filesystem::path& file, int index,
                                 Variant variant = Variant::Original, Format format = Format::Jpeg);

// Same, into `folder` with the name "photo<index>-<variant>.<suffix>". Returns the file's path.
std::filesystem::path writePhotoIn(const std::filesystem::path& folder, int index,
                                   Variant variant = Variant::Original,
                                   Format format = Format::Jpeg);

// Writes photo `index` as a PNG whose outer quarter on each side is fully transparent (the
// colours under it kept) and whose centre is opaque. Returns `file`.
std::filesystem::path writeTransparentPhoto(const std::filesystem::path& file, int index);

// Writes a width x height picture of one colour in the format of the suffix. Returns `file`.
std::filesystem::path writeSolid(const std::filesystem::path& file, int width, int height,
                                 uint8_t red, uint8_t green, uint8_t blue);

// Writes `text` as the whole of `file`, making its folder. Returns `file`.
std::filesystem::path writeBytes(const std::filesystem::path& file, std::string_view text);

// The whole content of `file`; empty when it cannot be read.
std::string readBytes(const std::filesystem::path& file);

// Copies the first `keep` bytes of `from` to `to`. Returns `to`.
std::filesystem::path writeTruncatedCopy(const std::filesystem::path& from,
                                         const std::filesystem::path& to, std::uintmax_t keep);

// A fresh folder under the temporary directory, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

} // namespace lumsift::testimages
