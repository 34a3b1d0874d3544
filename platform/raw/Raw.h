// The thin layer over LibRaw: the camera RAW suffixes it reads, one owned processor that counts
// the data errors LibRaw meets and tells raw data that LibRaw left undecoded, and LibRaw's return
// codes turned into a status with its message.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <libraw/libraw.h>

namespace lumsift::raw {

// The file-name suffixes of the camera RAW formats that LibRaw reads, lower case, without the dot.
std::span<const std::string_view> suffixes();

// True when `suffix` (without the dot, any case) is one of suffixes().
bool isRawSuffix(std::string_view suffix);

// A LibRaw return code and LibRaw's message for it; true for LIBRAW_SUCCESS.
struct Status {
    int code = LIBRAW_SUCCESS;
    std::string message;
    explicit operator bool() const { return code == LIBRAW_SUCCESS; }
};
Status statusOf(int code);

// The EXIF orientation (1 to 8) that LibRaw's `flip` (sizes.flip: 0, 3, 5, 6, or any value of its
// three bits) stands for. Cannot fail; an unknown value counts as upright.
int orientationOfFlip(int flip);

// Owns one LibRaw processor (a large object, kept on the heap). Thread-safe between processors.
class Processor {
public:
    // Fails only as `new` does.
    Processor();
    ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // Opens `path` and reads its header and metadata; nothing is decoded. LIBRAW_FILE_UNSUPPORTED
    // for a file that is not a RAW that LibRaw reads; another error for a file that cannot be read.
    // LibRaw may allocate no more than `maxMegabytes` for the raw data.
    Status open(const std::filesystem::path& path, unsigned maxMegabytes);

    // Reads and decodes the raw data (LibRaw's unpack), the JPEGs among it limited to
    // limits::kMaxJpegScans scans each. The caller guarantees a successful open(). A failure, with
    // LibRaw's message, where LibRaw fails; with ours where a JPEG has too many scans, or where
    // LibRaw's decoder stopped early without telling (on junk where compressed data should be) and
    // left samples of the picture unwritten: LibRaw's buffer is filled with a pattern before its
    // decoder runs, and a run of samples still holding it was never decoded. Where LibRaw keeps
    // the raw data in a buffer of its own making that starts zeroed, such samples stay 0.
    Status unpack();

    // Borrows: the processor and its data live as long as this object.
    LibRaw& get() { return *raw_; }
    libraw_data_t& data() { return raw_->imgdata; }

    // True when the file at `path` (the one opened) reaches the end of the raw data and of the
    // preview that its header points to, and, for a TIFF-based RAW, of every directory and value
    // of its TIFF structure: false for a file cut short. The caller guarantees a successful
    // open().
    bool reachesItsData(const std::filesystem::path& path) const;

    // How many times LibRaw met cut or corrupt data since open() (it goes on with made-up data).
    int dataErrors() const { return raw_->error_count(); }

private:
    class Stream;

    // Whether the decoder wrote every sample of the picture into the buffer that the stream
    // filled; true where nothing was filled.
    bool decodedEverySample() const;

    // Declared first, so that LibRaw, which borrows it, goes first.
    std::unique_ptr<Stream> stream_;
    std::unique_ptr<LibRaw> raw_;
    std::uintmax_t fileSize_ = 0;
};

} // namespace lumsift::raw
