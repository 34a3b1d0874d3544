// LibRaw's suffixes, statuses and flips, and the processor that owns one LibRaw and the stream
// it reads the file through.
#include "platform/raw/Raw.h"

#include "platform/jpeg/JpegScans.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <set>
#include <utility>
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

// The 16-bit sample that the raw buffer holds in column `column` (counted in samples) of every row
// before the decoder runs: a hash of the column, so that no picture's samples, flat or clipped,
// repeat a run of it.
uint16_t fillSample(size_t column) {
    auto x = static_cast<uint32_t>(column) * 0x9E3779B1u + 0x7F4A7C15u;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    return static_cast<uint16_t>(x >> 8);
}

// So many samples in a row still holding the fill were never written: a decoder's own values
// match the fill by chance in one sample of 65536.
constexpr size_t kUnwrittenRun = 16;

// The buffer of the raw data, as LibRaw laid it out before its decoder ran, and the fill that
// every row of it got.
struct Plane {
    uint16_t* samples = nullptr; // LibRaw's own; null where nothing was filled
    size_t pitch = 0;            // samples from one row to the next
    size_t perPixel = 0;         // samples a pixel: 1 (a mosaic or grey) or 3
    size_t rows = 0;
    std::vector<uint16_t> fill; // a row's samples
};

// Fills the buffer that LibRaw has just made for the raw data of `raw` with the fill pattern, when
// it is one that LibRaw took from malloc (a mosaic or grey, or three colours a pixel); the others
// start zeroed. Returns what was filled.
Plane fillRawBuffer(LibRaw& raw) {
    const libraw_rawdata_t& data = raw.imgdata.rawdata;
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    const size_t perPixel = data.raw_image != nullptr ? 1 : data.color3_image != nullptr ? 3 : 0;
    if (data.raw_alloc == nullptr || perPixel == 0)
        return {};
    const size_t rowSamples = size_t{sizes.raw_width} * perPixel;
    Plane plane{static_cast<uint16_t*>(data.raw_alloc),
                sizes.raw_pitch / 2,
                perPixel,
                sizes.raw_height,
                {}};
    // The buffer holds at least raw_width x (raw_height + 8) pixels; nothing past that is touched.
    if (plane.rows == 0 || plane.pitch < rowSamples ||
        plane.pitch * (plane.rows - 1) + rowSamples > rowSamples * (plane.rows + 8))
        return {};
    plane.fill.resize(rowSamples);
    for (size_t column = 0; column < rowSamples; ++column)
        plane.fill[column] = fillSample(column);
    for (size_t r = 0; r < plane.rows; ++r)
        std::copy(plane.fill.begin(), plane.fill.end(), plane.samples + r * plane.pitch);
    return plane;
}

} // namespace

// LibRaw's reader of the file, watching two things of LibRaw's decoding: when armed, it fills the
// raw buffer at LibRaw's first seek (unpack seeks to the raw data right after making its buffer
// and before its decoder runs); and it cuts off the scans of each JPEG that LibRaw hands to
// libjpeg beyond limits::kMaxJpegScans.
class Processor::Stream final : public LibRaw_bigfile_datastream {
public:
    // Opens `path`; valid() tells whether it could.
    explicit Stream(const std::filesystem::path& path) : LibRaw_bigfile_datastream(path.c_str()) {}

    // Fills the raw buffer of `raw` (borrowed until then) at the next seek; null: not at all.
    void fillAtNextSeek(LibRaw* raw) { fillFor_ = raw; }
    const Plane& filled() const { return filled_; }
    bool scansExceeded() const { return scans_.exceeded(); }

    int seek(INT64 offset, int whence) override {
        if (LibRaw* raw = std::exchange(fillFor_, nullptr))
            filled_ = fillRawBuffer(*raw);
        return LibRaw_bigfile_datastream::seek(offset, whence);
    }

    int jpeg_src(void* info) override {
        const int result = LibRaw_bigfile_datastream::jpeg_src(info);
        if (result == 0)
            scans_.watch(static_cast<j_decompress_ptr>(info));
        return result;
    }

private:
    LibRaw* fillFor_ = nullptr;
    Plane filled_;
    jpeg::ScanLimit scans_;
};

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
    raw_->recycle(); // LibRaw lets go of a stream it was given before
    stream_ = std::make_unique<Stream>(path);
    if (stream_->valid() == 0)
        return statusOf(LIBRAW_IO_ERROR);
    return statusOf(raw_->open_datastream(stream_.get()));
}

Status Processor::unpack() {
    stream_->fillAtNextSeek(raw_.get());
    const Status unpacked = statusOf(raw_->unpack());
    stream_->fillAtNextSeek(nullptr);
    if (stream_->scansExceeded())
        return {LIBRAW_DATA_ERROR, jpeg::tooManyScans() + " in the raw data"};
    if (!unpacked)
        return unpacked;
    if (!decodedEverySample())
        return {LIBRAW_DATA_ERROR, "LibRaw stopped early in the raw data: it is corrupt"};
    return {};
}

bool Processor::decodedEverySample() const {
    const Plane& plane = stream_->filled();
    // Fuji's rotated sensors lay their pictures out in their own way.
    if (plane.samples == nullptr || plane.samples != raw_->imgdata.rawdata.raw_alloc ||
        raw_->is_fuji_rotated() != 0)
        return true;
    // The picture's part of the buffer, within the margins.
    const libraw_image_sizes_t& sizes = raw_->imgdata.sizes;
    const size_t top = sizes.top_margin;
    const size_t bottom = std::min(plane.rows, top + sizes.height);
    const size_t left = size_t{sizes.left_margin} * plane.perPixel;
    const size_t right = std::min(plane.fill.size(), left + size_t{sizes.width} * plane.perPixel);
    if (top >= bottom || left >= right)
        return true;
    const size_t unwritten = std::min(kUnwrittenRun, right - left);
    for (size_t r = top; r < bottom; ++r) {
        const uint16_t* row = plane.samples + r * plane.pitch;
        size_t run = 0;
        for (size_t column = left; column < right; ++column) {
            run = row[column] == plane.fill[column] ? run + 1 : 0;
            if (run == unwritten)
                return false;
        }
    }
    return true;
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
