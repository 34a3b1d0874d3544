// The bound on a JPEG's scans (limits::kMaxJpegScans), kept where libjpeg decodes a JPEG (a
// progress monitor that stops it) and where another library does (a count of the file's
// start-of-scan markers before the file is handed over).
#pragma once

// jpeglib.h needs FILE and size_t declared first.
#include <cstdio>

#include <filesystem>
#include <string>

#include <jpeglib.h>

namespace lumsift::jpeg {

// Why a JPEG is refused for its scans: "a JPEG of more than 256 scans". Cannot fail.
std::string tooManyScans();

// libjpeg's progress monitor over a decompression, which ends the input once libjpeg starts a
// scan beyond limits::kMaxJpegScans: libjpeg meets the end of the image at once and finishes with
// the scans before. No error is raised, so that a decompressor whose owner does not destroy it
// on an error (LibRaw's) is not lost; the caller asks exceeded() and refuses the picture.
class ScanLimit {
public:
    ScanLimit() = default;
    ScanLimit(const ScanLimit&) = delete;
    ScanLimit& operator=(const ScanLimit&) = delete;

    // Becomes the progress monitor of `info` (borrowed). The caller guarantees that `info` has
    // been created, is given its data source before it decompresses, and is used no longer than
    // this object lives.
    void watch(j_decompress_ptr info);

    // True once it has cut a decompression short.
    bool exceeded() const { return exceeded_; }

private:
    static void monitor(j_common_ptr info);

    jpeg_progress_mgr progress_{}; // first: libjpeg hands back a pointer to it
    bool exceeded_ = false;
};

// True when `file` starts as a JPEG does and holds more than limits::kMaxJpegScans start-of-scan
// markers before its first end-of-image marker, as libjpeg would read them. Reads the file once,
// up to the marker beyond the limit; false for any other file, and for one that cannot be read.
bool hasTooManyScans(const std::filesystem::path& file);

} // namespace lumsift::jpeg
