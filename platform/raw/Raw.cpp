// LibRaw's suffixes, statuses and flips, and the processor that owns one LibRaw.
#include "platform/raw/Raw.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <set>
#include <vector>

namespace lumsift::raw {
namespace {

// The RAW formats of the cameras LibRaw reads, by the suffixes their files carry.
constexpr std::array<std::string_view, 38> kSuffixes = {
    "3fr", "ari", "arw", "bay", "cap", "cr2", "cr3", "crw", "dcr", "dcs", "dng", "drf", "eip",
    "erf", "fff", "gpr", "iiq", "k25", "kdc", "mdc", "mef", "mos", "mrw", "nef", "nrw", "orf",
    "pef", "ptx", "pxn", "raf", "raw", "rw2", "rwl", "sr2", "srf", "srw", "sti", "x3f"};

// LibRaw reports cut or corrupt data here; the processor counts it (error_count) and nothing is
// printed.
void ignoreDataError(void* /*data*/, const char* /*file*/, const int /*offset*/) {}

// Whether every image file directory of the TIFF structure at `path` (the chain from the header,
// and the sub-IFDs and EXIF IFD that they name), and every value they keep outside their entries,
// lies within the file's `size` bytes. True for a file that is not a TIFF: most RAW formats are
// TIFFs, the others are left to LibRaw. Reads only the directories.
bool tiffStructureWithin(const std::filesystem::path& path, std::uintmax_t size) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[8] = {};
    if (!file.read(reinterpret_cast<char*>(header), 8))
        return true;
    const bool little = header[0] == 'I' && header[1] == 'I';
    if (!little && !(header[0] == 'M' && header[1] == 'M'))
        return true;
    const auto number = [little](const unsigned char* at, int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<uint32_t>(at[i]) << (8 * (little ? i : bytes - 1 - i));
        return value;
    };
    // `bytes` bytes from `at`, read whole; empty when the file ends first.
    const auto read = [&](std::uintmax_t at, std::uintmax_t bytes) {
        std::vector<unsigned char> block;
        if (at + bytes > size || !file.seekg(static_cast<std::streamoff>(at)))
            return block;
        block.resize(static_cast<size_t>(bytes));
        if (!file.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(bytes)))
            block.clear();
        return block;
    };
    constexpr std::array<int, 14> kTypeSizes = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    std::vector<uint32_t> pending = {number(header + 4, 4)};
    std::set<uint32_t> seen;
    // A bound on the directories walked, against loops and crafted chains.
    while (!pending.empty() && seen.size() < 256) {
        const uint32_t ifd = pending.back();
        pending.pop_back();
        if (ifd == 0 || !seen.insert(ifd).second)
            continue;
        const std::vector<unsigned char> count = read(ifd, 2);
        if (count.empty())
            return false;
        // The entries, 12 bytes each, and the offset of the next directory.
        const uint32_t entries = number(count.data(), 2);
        const std::vector<unsigned char> directory = read(ifd + 2, 12 * uint64_t{entries} + 4);
        if (directory.empty())
            return false;
        for (uint32_t i = 0; i < entries; ++i) {
            const unsigned char* entry = directory.data() + 12 * size_t{i};
            const uint32_t tag = number(entry, 2), type = number(entry + 2, 2);
            const uint32_t values = number(entry + 4, 4), field = number(entry + 8, 4);
            const std::uintmax_t bytes =
                std::uintmax_t{values} * (type < kTypeSizes.size() ? kTypeSizes[type] : 1);
            if (bytes > 4 && std::uintmax_t{field} + bytes > size)
                return false;
            // Sub-IFDs and the EXIF IFD: directories too.
            if ((tag == 330 || tag == 34665) && (type == 4 || type == 13)) {
                if (values == 1) {
                    pending.push_back(field);
                    continue;
                }
                const std::vector<unsigned char> offsets =
                    read(field, 4 * std::uintmax_t{std::min<uint32_t>(values, 64)});
                for (size_t k = 0; k + 4 <= offsets.size(); k += 4)
                    pending.push_back(number(offsets.data() + k, 4));
            }
        }
        pending.push_back(number(directory.data() + 12 * size_t{entries}, 4));
    }
    return true;
}

} // namespace

std::span<const std::string_view> suffixes() {
    return kSuffixes;
}

bool isRawSuffix(std::string_view suffix) {
    std::string lower(suffix);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::ranges::find(kSuffixes, lower) != kSuffixes.end();
}

Status statusOf(int code) {
    if (code == LIBRAW_SUCCESS)
        return {};
    return {code, LibRaw::strerror(code)};
}

int orientationOfFlip(int flip) {
    // The inverse of dcraw's own reading of the EXIF orientation into its flip value.
    constexpr std::array<int, 8> kOrientations = {1, 2, 4, 3, 5, 8, 6, 7};
    return flip >= 0 && flip < 8 ? kOrientations[static_cast<size_t>(flip)] : 1;
}

Processor::Processor() : raw_(std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE)) {
    raw_->set_dataerror_handler(ignoreDataError, nullptr);
}

Processor::~Processor() = default;

Status Processor::open(const std::filesystem::path& path, unsigned maxMegabytes) {
    std::error_code ec;
    fileSize_ = std::filesystem::file_size(path, ec);
    raw_->imgdata.params.max_raw_memory_mb = maxMegabytes;
    return statusOf(raw_->open_file(path.c_str()));
}

bool Processor::reachesItsData(const std::filesystem::path& path) const {
    const unpacker_data_t& unpacker = raw_->get_internal_data_pointer()->unpacker_data;
    const internal_data_t& internal = raw_->get_internal_data_pointer()->internal_data;
    const auto ends = [this](int64_t offset, int64_t length) {
        return offset >= 0 && length >= 0 &&
               static_cast<std::uintmax_t>(offset) + static_cast<std::uintmax_t>(length) <=
                   fileSize_;
    };
    const bool rawData = ends(unpacker.data_offset, unpacker.data_size);
    const unsigned previewLength = raw_->imgdata.thumbnail.tlength;
    return rawData && (previewLength == 0 || ends(internal.toffset, previewLength)) &&
           tiffStructureWithin(path, fileSize_);
}

} // namespace lumsift::raw
