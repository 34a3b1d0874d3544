// libvips start-up for the whole process (cache off, one worker, warnings into our log), which of
// our threads use it at once, and the wrappers that turn its results into owned images or messages.
#include "platform/vips/Vips.h"

#include "platform/log/Log.h"

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string_view>

namespace lumsift::vips {
namespace {

// Who uses libvips now: the shared uses, the exclusive one and those waiting for it. Exclusive
// uses go first, so that a steady stream of shared ones cannot keep them out.
struct Users {
    std::mutex mutex;
    std::condition_variable changed;
    int shared = 0;
    int exclusiveWaiting = 0;
    bool exclusive = false;
    // Where the exclusive use's warnings go; null: the log.
    log::Hold* exclusiveHold = nullptr;
    // Warnings that came while shared uses lived.
    uint64_t sharedWarnings = 0;
};

// Never destroyed: libvips' threads may still warn while the process exits.
Users& users() {
    static auto* const u = new Users;
    return *u;
}

void routeToLog(const gchar* /*domain*/, GLogLevelFlags /*level*/, const gchar* message,
                gpointer /*data*/) {
    const std::string text = std::string("libvips: ") + (message != nullptr ? message : "");
    Users& u = users();
    std::unique_lock lock(u.mutex);
    if (u.shared > 0) {
        ++u.sharedWarnings; // its caller does the work again alone, and hears it then
        return;
    }
    if (u.exclusive && u.exclusiveHold != nullptr) {
        u.exclusiveHold->add(text);
        return;
    }
    lock.unlock();
    log::line(text);
}

} // namespace

bool start() {
    static const bool started = [] {
        if (VIPS_INIT("lumsift") != 0) {
            log::line(std::string("libvips: could not start: ") + vips_error_buffer());
            vips_error_clear();
            return false;
        }
        // Every picture is read once; a cache would only hold on to memory and open files.
        vips_cache_set_max(0);
        // One worker: a picture is decoded on the calling thread, and with several workers
        // libvips 8.14 can lose a loader's error (a truncated file) in a tile that another
        // worker finished.
        vips_concurrency_set(1);
        g_log_set_handler("VIPS",
                          static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL |
                                                      G_LOG_LEVEL_MESSAGE),
                          routeToLog, nullptr);
        return true;
    }();
    return started;
}

SharedUse::SharedUse() {
    Users& u = users();
    std::unique_lock lock(u.mutex);
    u.changed.wait(lock, [&u] { return !u.exclusive && u.exclusiveWaiting == 0; });
    ++u.shared;
    warningsAtStart_ = u.sharedWarnings;
}

SharedUse::~SharedUse() {
    Users& u = users();
    const std::lock_guard lock(u.mutex);
    if (--u.shared == 0)
        u.changed.notify_all();
}

bool SharedUse::warned() const {
    Users& u = users();
    const std::lock_guard lock(u.mutex);
    return u.sharedWarnings != warningsAtStart_;
}

ExclusiveUse::ExclusiveUse() {
    Users& u = users();
    std::unique_lock lock(u.mutex);
    ++u.exclusiveWaiting;
    u.changed.wait(lock, [&u] { return !u.exclusive && u.shared == 0; });
    --u.exclusiveWaiting;
    u.exclusive = true;
    u.exclusiveHold = log::Hold::current();
}

ExclusiveUse::~ExclusiveUse() {
    Users& u = users();
    const std::lock_guard lock(u.mutex);
    u.exclusive = false;
    u.exclusiveHold = nullptr;
    u.changed.notify_all();
}

Result adopt(VipsImage* image) {
    if (image != nullptr)
        return {ImageRef(image), {}};
    std::string message = vips_error_buffer();
    vips_error_clear();
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    return {ImageRef(), message.empty() ? std::string("libvips failed") : message};
}

Size declaredSize(const std::filesystem::path& file, VipsImage* image) {
    Size size{vips_image_get_width(image), vips_image_get_height(image)};
    const char* loader = nullptr;
    if (vips_image_get_typeof(image, VIPS_META_LOADER) == 0 ||
        vips_image_get_string(image, VIPS_META_LOADER, &loader) != 0 ||
        std::string_view(loader) != "gifload")
        return size;
    // The logical screen's width and height follow the six bytes of the signature, two bytes
    // each, least significant first. A frame that reaches further widens the picture, so a side
    // of one pixel is made up only where the screen declares 0.
    std::ifstream in(file, std::ios::binary);
    unsigned char header[10] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header))
        return size;
    if (size.width == 1 && header[6] == 0 && header[7] == 0)
        size.width = 0;
    if (size.height == 1 && header[8] == 0 && header[9] == 0)
        size.height = 0;
    return size;
}

Result profileToSrgb(VipsImage* image) {
    return call([image](VipsImage** out) {
        return vips_icc_transform(image, out, "srgb", "embedded", TRUE, "depth", 8, nullptr);
    });
}

Result toSrgb(VipsImage* image) {
    ImageRef managed;
    VipsImage* in = image;
    if (vips_image_get_typeof(image, VIPS_META_ICC_NAME) != 0) {
        Result converted = profileToSrgb(image);
        if (!converted)
            log::line("libvips: colour profile not applied: " + converted.error);
        managed = std::move(converted.image);
        if (managed.get() != nullptr)
            in = managed.get();
    }
    Result srgb = call([in](VipsImage** out) {
        return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
    });
    if (!srgb || srgb.image.get()->BandFmt == VIPS_FORMAT_UCHAR)
        return srgb;
    return call([&srgb](VipsImage** out) {
        return vips_cast(srgb.image.get(), out, VIPS_FORMAT_UCHAR, nullptr);
    });
}

} // namespace lumsift::vips
