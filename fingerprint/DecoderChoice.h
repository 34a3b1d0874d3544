// The choice of a decoder for a picture file: the decoders in their order of precedence, the
// file-name suffixes they read between them, and the one decode of a file for the grids.
#pragma once

#include "fingerprint/ImageDecoder.h"

#include <filesystem>
#include <string>
#include <vector>

namespace lumsift {

// The file-name suffixes some decoder reads, each in lower and in upper case ("jpg", "JPG"),
// without the dot, in a fixed order. Starts libvips when needed; empty only when it cannot start.
std::vector<std::string> readableImageTypes();

// Decodes `path`, when some decoder reads its suffix (any case), with the first decoder in order
// of precedence that does not pass it on: the content chooses, not the name. Shrunk on load so that
// grids up to `largestGrid` a side can still be rendered from at least twice their size in each
// direction (0: full size). Never passed on: a failure, with the reason, for an unknown suffix, a
// path that is not a regular file, and whatever the decoder refuses (its reason then begins with
// the decoder's name: "libjpeg: ").
Decoded decodePicture(const std::filesystem::path& path, int largestGrid);

} // namespace lumsift
