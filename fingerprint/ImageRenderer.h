// The image renderer behind the fingerprint calculator: which files it reads, one decode per
// file (shrunk on load, turned upright, in sRGB) and the stretch of the whole picture into an
// N x N grid of R, G, B, A bytes. Built on libvips; camera RAW plugs in as a further decoder.
#pragma once

#include "fingerprint/Picture.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumsift {

// The file-name suffixes the renderer reads, each in lower and in upper case ("jpg", "JPG"),
// without the dot, in a fixed order. Starts libvips when needed; empty only when it cannot start.
std::vector<std::string> readableImageTypes();

// The text of the file URL of `path` ("file:///photos/My%20Cat.jpg"), as logs show files.
std::string fileUrlText(const std::filesystem::path& path);

// A picture, or why there is none.
struct Decoded {
    std::optional<Picture> picture;
    std::string error;
};

// A decoder for some file types. The renderer picks one by the file's suffix (any case).
class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    // The suffixes it reads, lower case, without the dot.
    virtual std::vector<std::string> suffixes() const = 0;
    // Decodes `path` once, shrinking on load where the format allows it to the smallest size that
    // keeps both sides at least `minSide` (0: full size). Never throws; no picture on failure.
    virtual Decoded decode(const std::filesystem::path& path, int minSide) const = 0;
};

// Decodes `path` with the decoder for its suffix, shrunk on load so that the grids up to
// `largestGrid` can still be rendered from at least twice their size in each direction.
// No picture (with a reason) for an unknown suffix, an unreadable, empty, truncated or
// non-image file.
Decoded decodePicture(const std::filesystem::path& path, int largestGrid);

} // namespace lumsift
