// The decoder choice: LibRaw for camera RAW files, libjpeg for every JPEG, libvips for every other
// format. The suffix only says whether the file is of a readable type; its content chooses the
// decoder: the file goes to the decoders in their order until one does not pass it on, so a
// picture gives the same fingerprints whatever it is named. LibRaw alone is asked only of files
// with a RAW suffix: it would take time to refuse every picture, and it takes some TIFFs and JPEGs
// of cameras for RAW files.
#include "fingerprint/DecoderChoice.h"

#include "fingerprint/JpegDecoder.h"
#include "fingerprint/RawDecoder.h"
#include "fingerprint/VipsDecoder.h"
#include "platform/vips/Vips.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <ranges>
#include <string_view>

namespace lumsift {
namespace {

// `text` in upper case, or in lower case.
std::string inCase(std::string_view text, bool upper) {
    std::string result(text);
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        c = static_cast<char>(upper ? std::toupper(byte) : std::tolower(byte));
    }
    return result;
}

struct DecoderEntry {
    std::unique_ptr<ImageDecoder> decoder;
    std::vector<std::string> suffixes;
    // Asked only of files named with one of its suffixes; the others are asked of every file.
    bool bySuffixOnly = false;

    bool reads(std::string_view lowerSuffix) const {
        return std::ranges::find(suffixes, lowerSuffix) != suffixes.end();
    }
};

// The decoders in their order of precedence, with their suffixes asked once. The caller
// guarantees that libvips has started. Never destroyed: a thread that is never joined (an
// analysis still ending while the process exits) may still decode.
const std::vector<DecoderEntry>& decoders() {
    static const std::vector<DecoderEntry>& list = *new std::vector<DecoderEntry>([] {
        std::vector<DecoderEntry> made;
        auto add = [&made](std::unique_ptr<ImageDecoder> decoder, bool bySuffixOnly) {
            std::vector<std::string> suffixes = decoder->suffixes();
            made.push_back({std::move(decoder), std::move(suffixes), bySuffixOnly});
        };
        add(std::make_unique<RawDecoder>(), true);
        add(std::make_unique<JpegDecoder>(), false);
        add(std::make_unique<VipsDecoder>(), false);
        return made;
    }());
    return list;
}

} // namespace

std::vector<std::string> readableImageTypes() {
    if (!vips::start())
        return {};
    // Never destroyed, as the decoders: a calculator may be made while the process exits.
    static const std::vector<std::string>& types = *new std::vector<std::string>([] {
        std::vector<std::string> all;
        for (const DecoderEntry& entry : decoders()) {
            for (const std::string& suffix : entry.suffixes) {
                if (std::ranges::find(all, suffix) != all.end())
                    continue;
                all.push_back(suffix);
                all.push_back(inCase(suffix, true));
            }
        }
        return all;
    }());
    return types;
}

Decoded decodePicture(const std::filesystem::path& path, int largestGrid) {
    if (!vips::start())
        return Decoded::failure("libvips did not start");
    const std::string name = path.filename().string();
    const auto dot = name.rfind('.');
    const std::string suffix = dot == std::string::npos
                                   ? std::string()
                                   : inCase(std::string_view(name).substr(dot + 1), false);
    const auto readsSuffix = [&suffix](const DecoderEntry& entry) { return entry.reads(suffix); };
    if (std::ranges::none_of(decoders(), readsSuffix))
        return Decoded::failure("no decoder for " + name);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return Decoded::failure("not a readable file");
    const DecodeRequest request{largestGrid > 0 ? 2 * largestGrid : 0};
    for (const DecoderEntry& entry : decoders()) {
        if (entry.bySuffixOnly && !entry.reads(suffix))
            continue;
        Decoded decoded = entry.decoder->decode(path, request);
        if (decoded.passedOn)
            continue;
        if (!decoded.picture)
            decoded.error = std::string(entry.decoder->name()) + ": " + decoded.error;
        return decoded;
    }
    return Decoded::failure("every decoder passed " + name + " on");
}

} // namespace lumsift
