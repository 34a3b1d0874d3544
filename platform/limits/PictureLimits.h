// How large a picture may be for us to read it: the bounds that keep a hostile or damaged file (a
// decompression bomb: a few bytes that declare a picture of billions of pixels, or a JPEG of
// countless scans) from taking the memory and time of the whole machine. The decoders and the
// photo-library stand-in's import check a file against them before any pixel is decoded; decodes
// that run at once share one memory budget.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lumsift::limits {

// The most pixels (width x height, as the file declares them) that a picture may have: 500
// megapixels. The largest camera sensors give about 150 megapixels and their multi-shot modes
// 400; stitched panoramas of a few hundred megapixels are real. A file that declares more is
// refused as damaged rather than decoded.
inline constexpr int64_t kMaxPicturePixels = 500'000'000;

// The most memory one decode may ask for where its library holds the whole picture (or a
// progressive JPEG's coefficients) at once: 512 MiB. Decoders that stream the picture through a
// shrink need far less; this bounds the others, so that no single picture takes more than a few
// hundred megabytes.
inline constexpr int64_t kMaxDecodeBytes = int64_t{512} << 20;

// The most scans a JPEG may have. A scan costs a pass over every block of the components it
// holds, however little data it carries, so a small file of thousands of tiny scans keeps a
// decoder busy for minutes. Encoders write one scan (baseline), one a component, or about ten
// (libjpeg's progression; mozjpeg's optimised scripts a few more); even a script that sends every
// coefficient of three components in a scan of its own stays under 200. A file with more is
// refused as hostile or damaged.
inline constexpr int kMaxJpegScans = 256;

// The memory that the decodes running at once may hold together where their libraries hold a
// whole picture, a progressive JPEG's coefficients or a RAW's data: 320 MiB. With a decode on
// every core, no more than three of the largest photographs' (about 90 MiB each for 15
// megapixels) are held at once, and the process stays within 400 MiB.
inline constexpr int64_t kMaxDecodeBytesAtOnce = int64_t{320} << 20;

// Holds `bytes` of kMaxDecodeBytesAtOnce while it lives, waiting first until they are free: a
// decode takes one before its library allocates the picture. One that asks more than is left
// waits only while other decodes hold memory, so a decode alone always goes ahead; 0 bytes never
// wait. Safe from any thread; the caller guarantees that its thread holds no other one.
class DecodeMemory {
public:
    explicit DecodeMemory(int64_t bytes) : bytes_(bytes > 0 ? bytes : 0) {
        if (bytes_ == 0)
            return;
        Budget& b = budget();
        std::unique_lock lock(b.mutex);
        b.freed.wait(lock, [&] { return b.held == 0 || b.held + bytes_ <= kMaxDecodeBytesAtOnce; });
        b.held += bytes_;
    }
    ~DecodeMemory() {
        if (bytes_ == 0)
            return;
        Budget& b = budget();
        {
            const std::lock_guard lock(b.mutex);
            b.held -= bytes_;
        }
        b.freed.notify_all();
    }
    DecodeMemory(const DecodeMemory&) = delete;
    DecodeMemory& operator=(const DecodeMemory&) = delete;

private:
    struct Budget {
        std::mutex mutex;
        std::condition_variable freed;
        int64_t held = 0;
    };
    // Never destroyed: a decode may still end while the process exits.
    static Budget& budget() {
        static auto* const b = new Budget;
        return *b;
    }
    int64_t bytes_;
};

// True when a picture of `width` x `height` has at least one pixel and no more than
// kMaxPicturePixels. Cannot fail; any values may be passed.
constexpr bool pixelCountAllowed(int64_t width, int64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxPicturePixels / height;
}

} // namespace lumsift::limits
