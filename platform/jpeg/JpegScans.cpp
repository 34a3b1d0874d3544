// The scan limit: libjpeg's progress monitor, and a walk over a file's markers.
#include "platform/jpeg/JpegScans.h"

#include "platform/limits/PictureLimits.h"

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
    std::FILE* f = in.get();
    if (getc_unlocked(f) != 0xFF || getc_unlocked(f) != 0xD8)
        return false;
    // Past the start of image, every marker begins with 0xFF: in a scan's coded data a 0xFF byte
    // is followed by 0 or by a restart marker, and anything else between segments is junk that
    // libjpeg skips as well.
    int scans = 0;
    for (int byte = getc_unlocked(f); byte != EOF; byte = getc_unlocked(f)) {
        if (byte != 0xFF)
            continue;
        int marker = getc_unlocked(f);
        while (marker == 0xFF) // fill bytes
            marker = getc_unlocked(f);
        if (marker == EOF || marker == 0xD9) // end of image
            return false;
        // A stuffed zero, and the markers without a segment (TEM, restarts, start of image).
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;
        if (marker == 0xDA && ++scans > limits::kMaxJpegScans)
            return true;
        // The segment's length counts its own two bytes; a scan's coded data follows its header.
        const int high = getc_unlocked(f);
        const int low = getc_unlocked(f);
        if (high == EOF || low == EOF || (high << 8 | low) < 2 ||
            std::fseek(f, (high << 8 | low) - 2, SEEK_CUR) != 0)
            return false;
    }
    return false;
}

} // namespace lumsift::jpeg
