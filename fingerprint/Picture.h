// A decoded picture as the renderer keeps it (upright, sRGB, premultiplied R, G, B, A) and its
// stretch into an N x N grid of bytes with a Lanczos-3 filter.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lumsift {

class Picture {
public:
    // Takes ownership of `rgba`: width x height pixels, rows from the top, four float samples a
    // pixel (R, G, B premultiplied by A, all from 0 to 255). The caller guarantees width and
    // height >= 1 and rgba.size() == 4 x width x height.
    Picture(int width, int height, std::vector<float> rgba);

    // Borrows `pixels`: width x height, rows from the top, `bands` bytes a pixel, R, G, B (3) or
    // R, G, B and straight alpha (4). Premultiplies, box-shrinks by whole factors so that each
    // side stays at least `minSide` (0: no shrink), and turns the result upright by the EXIF
    // `orientation` (1 to 8; any other value counts as 1). The caller guarantees width and
    // height >= 1, bands 3 or 4 and pixels.size() == bands x width x height.
    static Picture fromBytes(std::span<const uint8_t> pixels, int width, int height, int bands,
                             int minSide, int orientation);

    // This picture turned upright from EXIF `orientation` (1 to 8; any other value counts as 1:
    // the picture itself, moved).
    Picture upright(int orientation) &&;

    double width() const { return width_; }
    double height() const { return height_; }

    // Stretches the whole picture to n x n (aspect not kept, nothing cropped) and writes it into
    // `out` as R, G, B, A bytes, row 0 at the top; colour samples never exceed alpha. Lanczos-3,
    // widened when shrinking so that every source pixel counts. Cannot fail; the caller
    // guarantees n >= 1 and out.size() == 4 n n.
    void render(int n, std::span<uint8_t> out) const;

private:
    int width_;
    int height_;
    std::vector<float> rgba_;
};

// The whole factor of a box shrink that keeps `side` pixels at least `minSide` (1 when minSide is
// 0 or not below side). The caller guarantees side >= 1 and minSide >= 0.
int boxShrink(int side, int minSide);

} // namespace lumsift
