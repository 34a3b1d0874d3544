// The scan limit: libjpeg's progress monitor, and a walk over a file's markers.
#include "platform/jpeg/JpegScans.h"

#include "platform/limits/PictureLimits.h"

#include <array>
#include <cstring>
#include <memory>
#include <type_traits>

namespace lumsift::jpeg {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A data source's refill that gives the end-of-image marker, however often it is asked.
boolean endOfImage(j_decompress_ptr info) {
    static const JOCTET kEnd[] = {0xFF, JPEG_EOI};
    info->src->next_input_byte = kEnd;
    info->src->bytes_in_buffer = sizeof kEnd;
    return TRUE;
}

// A file read forwards through a buffer of its own: the coded data between markers, most of a
// JPEG, is passed over with memchr rather than byte by byte. Borrows the file.
class BufferedBytes {
public:
    explicit BufferedBytes(std::FILE* file) : file_(file) {}

    // The next byte, or EOF.
    int next() {
        if (at_ == end_ && !refill())
            return EOF;
        return buffer_[at_++];
    }
    // Passes over the bytes up to and including the next 0xFF; false at the end of the file.
    bool skipToMarkerByte() {
        for (;;) {
            if (at_ == end_ && !refill())
                return false;
            const void* found = std::memchr(buffer_.data() + at_, 0xFF, end_ - at_);
            if (found != nullptr) {
                at_ = static_cast<std::size_t>(static_cast<const unsigned char*>(found) -
                                               buffer_.data()) +
                      1;
                return true;
            }
            at_ = end_;
        }
    }
    // Passes over `count` bytes; false when the file ends first or cannot be read on.
    bool skip(long count) {
        const auto buffered = static_cast<long>(end_ - at_);
        if (count <= buffered) {
            at_ += static_cast<std::size_t>(count);
            return true;
        }
        at_ = end_;
        return std::fseek(file_, count - buffered, SEEK_CUR) == 0;
    }

private:
    bool refill() {
        at_ = 0;
        end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        return end_ > 0;
    }

    std::FILE* file_;
    std::array<unsigned char, 64 * 1024> buffer_{};
    std::size_t at_ = 0;
    std::size_t end_ = 0;
};

} // namespace

std::string tooManyScans() {
    return "a JPEG of more than " + std::to_string(limits::kMaxJpegScans) + " scans";
}

void ScanLimit::watch(j_decompress_ptr info) {
    progress_.progress_monitor = monitor;
    info->progress = &progress_;
}

void ScanLimit::monitor(j_common_ptr info) {
    // libjpeg calls this before each step of its work; a scan counts once its marker is read.
    if (info->is_decompressor == FALSE)
        return;
    const auto decompress = reinterpret_cast<j_decompress_ptr>(info);
    static_assert(std::is_standard_layout_v<ScanLimit>);
    auto* const self = reinterpret_cast<ScanLimit*>(info->progress);
    if (decompress->input_scan_number <= limits::kMaxJpegScans || self->exceeded_ ||
        decompress->src == nullptr)
        return;
    self->exceeded_ = true;
    // What the source still holds is dropped; its next refill, and every one after, ends the image.
    decompress->src->bytes_in_buffer = 0;
    decompress->src->fill_input_buffer = endOfImage;
}

bool hasTooManyScans(const std::filesystem::path& file) {
    const std::unique_ptr<std::FILE, FileCloser> in(std::fopen(file.c_str(), "rb"));
    if (!in)
        return false;
    BufferedBytes bytes(in.get());
    if (bytes.next() != 0xFF || bytes.next() != 0xD8)
        return false;
    // Past the start of image, every marker begins with 0xFF: in a scan's coded data a 0xFF byte
    // is followed by 0 or by a restart marker, and anything else between segments is junk that
    // libjpeg skips as well.
    int scans = 0;
    while (bytes.skipToMarkerByte()) {
        int marker = bytes.next();
        while (marker == 0xFF) // fill bytes
            marker = bytes.next();
        if (marker == EOF || marker == 0xD9) // end of image
            return false;
        // A stuffed zero, and the markers without a segment (TEM, restarts, start of image).
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;
        if (marker == 0xDA && ++scans > limits::kMaxJpegScans)
            return true;
        // The segment's length counts its own two bytes; a scan's coded data follows its header.
        const int high = bytes.next();
        const int low = bytes.next();
        if (high == EOF || low == EOF || (high << 8 | low) < 2 ||
            !bytes.skip((high << 8 | low) - 2))
            return false;
    }
    return false;
}

} // namespace lumsift::jpeg
