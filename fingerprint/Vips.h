// The thin layer over libvips: one-time start-up, the image handle, and the call wrapper that
// turns libvips' return codes into a result carrying its message.
#pragma once

#include <string>
#include <utility>

#include <vips/vips.h>

namespace lumsift::vips {

// Starts libvips once per process (any thread, any number of calls): operation cache off,
// libvips' warnings routed to our log. Returns false when libvips could not start.
bool start();

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

// Runs one libvips operation `op(VipsImage** out)` that returns 0 on success; on failure takes
// (and clears) libvips' error text.
template <class Op> Result call(Op&& op) {
    VipsImage* out = nullptr;
    if (op(&out) != 0 || out == nullptr) {
        if (out != nullptr)
            g_object_unref(out);
        std::string message = vips_error_buffer();
        vips_error_clear();
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        return {ImageRef(), message.empty() ? std::string("libvips failed") : message};
    }
    return {ImageRef(out), {}};
}

} // namespace lumsift::vips
