// The fingerprint calculator and the fingerprint distance. The float steps, the rounding calls
// and the strict comparisons below are what the stored fingerprints are made of: keep them.
#include "fingerprint/Lumsift.h"

#include "fingerprint/DecoderChoice.h"
#include "platform/log/Log.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include <fftw3.h>

namespace lumsift {
namespace {

// FFTW's planner is process-wide and not thread-safe: every plan is made and destroyed under this.
std::mutex& fftwPlannerMutex() {
    static std::mutex mutex;
    return mutex;
}

fftw_plan planDct(double (&data)[32][32], double (&out)[32][32]) {
    const std::lock_guard lock(fftwPlannerMutex());
    return fftw_plan_r2r_2d(32, 32, &data[0][0], &out[0][0], FFTW_REDFT00, FFTW_REDFT00,
                            FFTW_MEASURE | FFTW_DESTROY_INPUT);
}

// S = R + G + B of the pixel at `pixel`; the alpha byte is skipped.
int channelSum(const uint8_t* pixel, bool alphaFirst) {
    const uint8_t* rgb = alphaFirst ? pixel + 1 : pixel;
    return rgb[0] + rgb[1] + rgb[2];
}

// The same quarter-turn as rotateLeft for the distance's inner loop, in fewer operations: the
// rows in reverse order (a byte swap), then the 8 x 8 bit matrix transposed by three delta swaps.
// A test holds it equal to rotateLeft.
[[gnu::always_inline]] inline uint64_t quarterTurn(uint64_t x) {
    x = __builtin_bswap64(x);
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    return x ^ t ^ (t << 28);
}

// The population count of a XOR b (0 for equal values): how often its lowest set bit can be
// cleared. Inlined like quarterTurn, so that each clone of the distance counts with its own
// instructions.
[[gnu::always_inline]] inline int64_t bitsApart(uint64_t a, uint64_t b) {
    return std::popcount(a ^ b);
}

} // namespace

Lumsift::FftwPlan::~FftwPlan() {
    if (plan_ == nullptr)
        return;
    const std::lock_guard lock(fftwPlannerMutex());
    fftw_destroy_plan(plan_);
}

std::string fileUrlText(const std::filesystem::path& path) {
    static constexpr std::string_view kKept = "-._~/!$&'()*+,;=:@";
    std::string text = "file://";
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    for (const unsigned char c : (ec ? path : absolute).string()) {
        if (std::isalnum(c) != 0 || kKept.find(static_cast<char>(c)) != std::string_view::npos) {
            text += static_cast<char>(c);
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        text += escaped;
    }
    return text;
}

Lumsift::Lumsift() : imgTypes(readableImageTypes()), dctPlan(planDct(data, out)) {}

Lumsift::~Lumsift() = default;

bool Lumsift::supportedImageType(std::string_view path) const {
    std::string_view name = path;
    while (name.size() > 1 && name.back() == '/')
        name.remove_suffix(1);
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const auto dot = name.rfind('.');
    const std::string_view extension =
        dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (std::find(imgTypes.begin(), imgTypes.end(), extension) != imgTypes.end())
        return true;
    log::line("Image type not supported: " + std::string(path));
    return false;
}

bool Lumsift::prepareImageData(const std::filesystem::path& url, bool eightX8, bool thirty2x32) {
    if (!supportedImageType(url.string()))
        return false;

    // Shrink on load for the large grid whenever a grid is asked for: the small grid then comes out
    // the same whether or not the large one is made with it. With none asked, the smallest decode
    // will do.
    const int largestGrid = eightX8 || thirty2x32 ? dctSize : 1;
    const Decoded decoded = decodePicture(url, largestGrid);
    if (!decoded.picture || decoded.picture->height() == 0 || decoded.picture->width() == 0) {
        if (!decoded.error.empty())
            log::line("Decoding failed: " + decoded.error);
        log::line("Couldn't load image: " + fileUrlText(url));
        return false;
    }

    if (eightX8)
        decoded.picture->render(reducedImageSize, bitmapReducedImage8x8);
    if (thirty2x32)
        decoded.picture->render(dctSize, bitmapReducedImage32x32);
    if (eightX8 || thirty2x32)
        alphaFirst = false; // the renderer writes R, G, B, A
    return true;
}

uint64_t Lumsift::calculateLumsift(bool usePlus) {
    uint8_t* const grid = bitmapReducedImage8x8.data();
    float threshold = 0;
    if (!usePlus) {
        float sum = 0;
        for (int i = 0; i < 64; ++i) {
            uint8_t* const pixel = grid + 4 * i;
            const auto grey = static_cast<uint8_t>(channelSum(pixel, alphaFirst) / 3);
            std::memset(pixel, grey, 4);
            sum += grey;
        }
        threshold = std::round(sum * 0.015625f);
    } else {
        uint64_t maximum = 0;
        uint64_t minimum = std::numeric_limits<uint64_t>::max();
        for (int i = 0; i < 64; ++i) {
            uint8_t* const pixel = grid + 4 * i;
            const int sum = channelSum(pixel, alphaFirst);
            const auto truncated = static_cast<uint64_t>(sum / 3);
            maximum = std::max(maximum, truncated);
            minimum = std::min(minimum, truncated);
            const auto rounded = static_cast<uint8_t>(std::round(static_cast<float>(sum) / 3.0f));
            std::memset(pixel, rounded, 4);
        }
        threshold = static_cast<float>(maximum - minimum) * 0.5f + static_cast<float>(minimum);
    }

    uint64_t hash = 0;
    for (int i = 0; i < 64; ++i) {
        if (grid[4 * i] > threshold)
            hash |= uint64_t{1} << i;
    }
    return hash == 0 ? 1 : hash;
}

uint64_t Lumsift::calculateHashPro() {
    const uint8_t* const grid = bitmapReducedImage32x32.data();
    for (int r = 0; r < 32; ++r) {
        for (int c = 0; c < 32; ++c)
            data[r][c] = static_cast<double>(channelSum(grid + 4 * (32 * r + c), alphaFirst) / 3);
    }
    fftw_execute(dctPlan.get());

    // The block's sum is held in single precision, constant term first: this rounding decides
    // the bits of coefficients close to the mean.
    float accumulator = 0;
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v)
            accumulator = static_cast<float>(static_cast<double>(accumulator) + out[u][v]);
    }
    const float mean = static_cast<float>(static_cast<double>(accumulator) - out[0][0]) / 63.0f;

    uint64_t hash = 0;
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            if (out[u][v] > static_cast<double>(mean))
                hash |= uint64_t{1} << (8 * u + v);
        }
    }
    return hash == 0 ? 1 : hash;
}

uint64_t Lumsift::visualHash(const std::filesystem::path& url, bool usePlus) {
    if (!prepareImageData(url, true, false))
        return 0;
    return calculateLumsift(usePlus);
}

uint64_t Lumsift::visualHashPro(const std::filesystem::path& url) {
    if (!prepareImageData(url, false, true))
        return 0;
    return calculateHashPro();
}

int64_t Lumsift::distanceCalc(uint64_t a, uint64_t b) {
    return bitsApart(a, b);
}

// Bit 8r + c goes to bit 8c + 7 - r: the grid turned clockwise by a quarter-turn, in three stages
// of block swaps (the 4 x 4 quadrants, the 2 x 2 blocks within them, the single cells).
uint64_t Lumsift::rotateLeft(uint64_t x) {
    const uint64_t y = ((x & 0x0F0F0F0FULL) << 4) | ((x & 0xF0F0F0F0ULL) << 32) |
                       ((x >> 4) & 0x0F0F0F0F00000000ULL) | ((x >> 32) & 0x0F0F0F0FULL);
    const uint64_t z = ((y << 2) & 0x0000CCCC0000CCCCULL) | ((y << 16) & 0xCCCC0000CCCC0000ULL) |
                       ((y >> 2) & 0x3333000033330000ULL) | ((y >> 16) & 0x0000333300003333ULL);
    return ((z << 1) & 0x00AA00AA00AA00AAULL) | ((z << 8) & 0xAA00AA00AA00AA00ULL) |
           ((z >> 1) & 0x5500550055005500ULL) | ((z >> 8) & 0x0055005500550055ULL);
}

// The search calls this for every pair of images: where the processor counts bits in one
// instruction, a clone that uses it is chosen at load time. The loader makes that choice before
// ThreadSanitizer's runtime is set up, so a build for it keeps the one default version.
#if defined(__SANITIZE_THREAD__) // GCC
#define LUMSIFT_THREAD_SANITIZER
#elif defined(__has_feature) // clang
#if __has_feature(thread_sanitizer)
#define LUMSIFT_THREAD_SANITIZER
#endif
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(LUMSIFT_THREAD_SANITIZER)
__attribute__((target_clones("popcnt", "default")))
#endif
int64_t
Lumsift::hammingDistance(uint64_t a, uint64_t b, bool checkRotations) {
    int64_t d = bitsApart(a, b);
    if (!checkRotations)
        return d;
    const uint64_t b1 = quarterTurn(b);
    d = std::min(d, bitsApart(a, b1));
    const uint64_t b2 = quarterTurn(b1);
    d = std::min(d, bitsApart(a, b2));
    const uint64_t b3 = quarterTurn(b2);
    d = std::min(d, bitsApart(a, b3));
    return d;
}

} // namespace lumsift
