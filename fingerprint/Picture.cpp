// A decoded picture: made from bytes (premultiplied, box-shrunk), turned upright, and stretched
// into an N x N grid by a separable Lanczos-3 filter, rows first.
#include "fingerprint/Picture.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>
#include <utility>

namespace lumsift {
namespace {

double lanczos3(double x) {
    if (x == 0)
        return 1;
    if (std::abs(x) >= 3)
        return 0;
    const double px = std::numbers::pi * x;
    return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
}

// For every output sample of one axis: `taps` source indexes (clamped to the edge) and their
// weights, which add up to 1.
struct AxisFilter {
    int taps;
    std::vector<int> index;
    std::vector<double> weight;
};

AxisFilter axisFilter(int in, int out) {
    const double scale = static_cast<double>(out) / in;
    const double stretch = std::min(scale, 1.0); // below 1 when shrinking: the kernel widens
    const double support = 3 / stretch;
    const int taps = static_cast<int>(std::ceil(2 * support)) + 1;
    AxisFilter filter{taps, std::vector<int>(static_cast<size_t>(out) * taps),
                      std::vector<double>(static_cast<size_t>(out) * taps)};
    for (int o = 0; o < out; ++o) {
        const double centre = (o + 0.5) / scale - 0.5; // in source pixel coordinates
        const int first = static_cast<int>(std::floor(centre - support)) + 1;
        double sum = 0;
        for (int k = 0; k < taps; ++k) {
            const double w = lanczos3((first + k - centre) * stretch);
            filter.index[o * taps + k] = std::clamp(first + k, 0, in - 1);
            filter.weight[o * taps + k] = w;
            sum += w;
        }
        for (int k = 0; k < taps; ++k)
            filter.weight[o * taps + k] /= sum;
    }
    return filter;
}

uint8_t toByte(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

} // namespace

int boxShrink(int side, int minSide) {
    assert(side >= 1 && minSide >= 0);
    return minSide > 0 ? std::max(1, side / minSide) : 1;
}

Picture::Picture(int width, int height, std::vector<float> rgba)
    : width_(width), height_(height), rgba_(std::move(rgba)) {
    assert(width >= 1 && height >= 1);
    assert(rgba_.size() == 4 * static_cast<size_t>(width) * height);
}

Picture Picture::fromBytes(std::span<const uint8_t> pixels, int width, int height, int bands,
                           int minSide, int orientation) {
    assert(width >= 1 && height >= 1 && (bands == 3 || bands == 4));
    assert(pixels.size() == static_cast<size_t>(bands) * width * height);
    const int hshrink = boxShrink(width, minSide);
    const int vshrink = boxShrink(height, minSide);
    // Blocks at the right and bottom edges may be partial: they average what they hold, so
    // nothing of the picture is dropped.
    const int w = (width + hshrink - 1) / hshrink;
    const int h = (height + vshrink - 1) / vshrink;
    std::vector<double> sums(static_cast<size_t>(w) * h * 4);
    std::vector<int> counts(static_cast<size_t>(w) * h);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = pixels.data() + static_cast<size_t>(y) * width * bands;
        const size_t outRow = static_cast<size_t>(y / vshrink) * w;
        for (int x = 0; x < width; ++x) {
            const uint8_t* pixel = row + static_cast<size_t>(x) * bands;
            const size_t o = outRow + x / hshrink;
            // Premultiplied before averaging, so that transparent pixels add no colour.
            const double alpha = bands == 4 ? pixel[3] : 255.0;
            for (int c = 0; c < 3; ++c)
                sums[4 * o + c] += pixel[c] * alpha / 255.0;
            sums[4 * o + 3] += alpha;
            ++counts[o];
        }
    }
    std::vector<float> rgba(sums.size());
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = static_cast<float>(sums[i] / counts[i / 4]);
    return Picture(w, h, std::move(rgba)).upright(orientation);
}

Picture Picture::upright(int orientation) && {
    if (orientation < 2 || orientation > 8)
        return std::move(*this);
    // Orientations 5 to 8 exchange width and height.
    const bool turned = orientation >= 5;
    const int w = turned ? height_ : width_;
    const int h = turned ? width_ : height_;
    std::vector<float> rgba(rgba_.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // The stored pixel (sx, sy) that is shown at (x, y).
            int sx = x;
            int sy = y;
            switch (orientation) {
            case 2: // mirrored left to right
                sx = width_ - 1 - x;
                break;
            case 3: // turned half round
                sx = width_ - 1 - x;
                sy = height_ - 1 - y;
                break;
            case 4: // mirrored top to bottom
                sy = height_ - 1 - y;
                break;
            case 5: // transposed
                sx = y;
                sy = x;
                break;
            case 6: // shown turned a quarter clockwise
                sx = y;
                sy = height_ - 1 - x;
                break;
            case 7: // transversed
                sx = width_ - 1 - y;
                sy = height_ - 1 - x;
                break;
            case 8: // shown turned a quarter anticlockwise
                sx = width_ - 1 - y;
                sy = x;
                break;
            }
            const float* from = &rgba_[(static_cast<size_t>(sy) * width_ + sx) * 4];
            std::copy(from, from + 4, &rgba[(static_cast<size_t>(y) * w + x) * 4]);
        }
    }
    return Picture(w, h, std::move(rgba));
}

void Picture::render(int n, std::span<uint8_t> out) const {
    assert(n >= 1 && out.size() == 4 * static_cast<size_t>(n) * n);
    const AxisFilter across = axisFilter(width_, n);
    const AxisFilter down = axisFilter(height_, n);

    // Rows first: every source row to n samples.
    std::vector<double> rows(static_cast<size_t>(height_) * n * 4);
    for (int y = 0; y < height_; ++y) {
        const float* source = &rgba_[static_cast<size_t>(y) * width_ * 4];
        for (int o = 0; o < n; ++o) {
            double sample[4] = {};
            for (int k = 0; k < across.taps; ++k) {
                const float* pixel = source + 4 * across.index[o * across.taps + k];
                const double w = across.weight[o * across.taps + k];
                for (int c = 0; c < 4; ++c)
                    sample[c] += w * pixel[c];
            }
            std::copy(sample, sample + 4, &rows[(static_cast<size_t>(y) * n + o) * 4]);
        }
    }
    // Then the columns.
    for (int o = 0; o < n; ++o) {
        for (int x = 0; x < n; ++x) {
            double sample[4] = {};
            for (int k = 0; k < down.taps; ++k) {
                const double* pixel =
                    &rows[(static_cast<size_t>(down.index[o * down.taps + k]) * n + x) * 4];
                const double w = down.weight[o * down.taps + k];
                for (int c = 0; c < 4; ++c)
                    sample[c] += w * pixel[c];
            }
            uint8_t* pixel = &out[(static_cast<size_t>(o) * n + x) * 4];
            pixel[3] = toByte(sample[3]);
            // The filter's lobes may ring differently in colour and alpha near a transparent
            // edge; a premultiplied colour sample never exceeds its alpha.
            for (int c = 0; c < 3; ++c)
                pixel[c] = std::min(toByte(sample[c]), pixel[3]);
        }
    }
}

} // namespace lumsift
