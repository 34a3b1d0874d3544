// The thin layer over libvips: one-time start-up, the image handle, the wrappers that turn
// libvips' return codes into a result carrying its message, and the colour-profile conversion.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include <vips/vips.h>

namespace lumsift::vips {

// Starts libvips once per process (any thread, any number of calls): operation cache off,
// libvips' warnings routed to our log. Returns false when libvips could not start.
bool start();

// libvips keeps one error text for the whole process and gives its warnings on its own threads,
// so neither says which caller it belongs to. Threads of ours that decode at the same time each
// hold a SharedUse; a thread that needs libvips' messages to be its own holds an ExclusiveUse,
// which waits for the shared uses to end and keeps new ones out until it ends. Threads that hold
// neither use libvips as before. Neither is reentrant: the caller guarantees that its thread
// holds no other use of either kind.

// While any SharedUse lives, libvips' warnings are not logged: they are counted, and each shared
// use learns whether one came while it lived, so that its caller can do its work again alone.
class SharedUse {
public:
    SharedUse();
    ~SharedUse();
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;
    // True when libvips warned (from any caller) since this use began.
    bool warned() const;

private:
    uint64_t warningsAtStart_;
};

// While it lives, libvips' warnings go to the log::Hold that was active on the constructing
// thread, else to the log; and its error text is this thread's alone among the callers above.
class ExclusiveUse {
public:
    ExclusiveUse();
    ~ExclusiveUse();
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
};

// Owns one reference to a VipsImage.
class ImageRef {
public:
    ImageRef() = default;
    // Takes ownership of one reference to `image` (may be null).
    explicit ImageRef(VipsImage* image) : image_(image) {}
    ~ImageRef() {
        if (image_ != nullptr)
            g_object_unref(image_);
    }
    ImageRef(const ImageRef&) = delete;
    ImageRef& operator=(const ImageRef&) = delete;
    ImageRef(ImageRef&& other) noexcept : image_(std::exchange(other.image_, nullptr)) {}
    ImageRef& operator=(ImageRef&& other) noexcept {
        std::swap(image_, other.image_);
        return *this;
    }
    // Borrows: the image lives as long as this handle.
    VipsImage* get() const { return image_; }

private:
    VipsImage* image_ = nullptr;
};

// An image, or the message of the libvips call that failed to make it.
struct Result {
    ImageRef image;
    std::string error;
    explicit operator bool() const { return image.get() != nullptr; }
};

// Takes ownership of `image`, what a libvips constructor returned. A null image gives a result
// that carries (and takes from libvips) its error text.
Result adopt(VipsImage* image);

// Runs one libvips operation `op(VipsImage** out)` that returns 0 on success; on failure the
// result carries libvips' error text.
template <class Op> Result call(Op&& op) {
    VipsImage* out = nullptr;
    if (op(&out) != 0 && out != nullptr) {
        g_object_unref(out);
        out = nullptr;
    }
    return adopt(out);
}

// A picture's width and height in pixels.
struct Size {
    int width = 0;
    int height = 0;
};

// The width and height that the file `file` declares for `image`, which libvips loaded from it (or
// opened, its header read): what libvips reports, but for a GIF whose logical screen declares a
// side of 0 and whose frames give it no pixel either, which libvips' GIF loader reports as one
// pixel on that side: 0 there. Borrows `image`. Cannot fail: a file that can no longer be read
// counts as what libvips reported.
Size declaredSize(const std::filesystem::path& file, VipsImage* image);

// `image` converted from its embedded colour profile to sRGB, 8 bits a sample; the error when the
// profile cannot be applied. Borrows `image`.
Result profileToSrgb(VipsImage* image);

// `image` in sRGB, 8 bits a sample, an alpha band kept: through its embedded colour profile where
// it has one, else from its interpretation (CMYK through libvips' own CMYK profile, grey made three
// bands). A profile that cannot be applied is logged and the colours are then taken as stored.
// The error when libvips has no way to sRGB. Borrows `image`.
Result toSrgb(VipsImage* image);

} // namespace lumsift::vips
