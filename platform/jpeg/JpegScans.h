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

// libjpeg's progress monitor over a decompression, which stops it as an error once it starts a
// scan beyond limits::kMaxJpegScans.
class ScanLimit {
public:
    ScanLimit() = default;
    ScanLimit(const ScanLimit&) = delete;
    ScanLimit& operator=(const ScanLimit&) = delete;

    // Becomes the progress monitor of `info` (borrowed): from then on, libjpeg calls the error
    // manager's error_exit of `info` as it starts a scan beyond the limit. The caller guarantees
    // that `info` has been created, has an error manager whose error_exit does not return, and
    // is used no longer than this object lives.
    void watch(j_decompress_ptr info);

    // True once it has stopped a decompression.
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
