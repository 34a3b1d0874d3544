// The fingerprint calculator: turns one image file into an 8 x 8 and a 32 x 32 grid and computes
// the plain, plus and Pro 64-bit fingerprints; and the distance between two fingerprints.
// The constants, single-precision steps and strict comparisons define the stored values.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct fftw_plan_s; // the plan type behind fftw_plan: <fftw3.h> stays in Lumsift.cpp

namespace lumsift {

// A pixel grid of N x N pixels, 4 bytes a pixel, rows from the top.
template <int N> using PixelGrid = std::array<uint8_t, 4 * N * N>;

class Lumsift {
public:
    // `init`: fetches the readable types and makes the transform plan (measuring, under the
    // process-wide planner lock). Never fails; when libvips cannot start, imgTypes is empty and
    // every prepare returns false.
    Lumsift();
    // Destroys the plan.
    ~Lumsift();
    // The plan is bound to the addresses of `data` and `out`: never copied or moved.
    Lumsift(const Lumsift&) = delete;
    Lumsift& operator=(const Lumsift&) = delete;
    Lumsift(Lumsift&&) = delete;
    Lumsift& operator=(Lumsift&&) = delete;

    // True when the extension of `path` (after the last "." of its last component) is exactly a
    // member of imgTypes; otherwise logs "Image type not supported: %@" and returns false.
    bool supportedImageType(std::string_view path) const;
    // Decodes the file once and renders the grids asked for (R, G, B, A; alphaFirst becomes false).
    // False when the type is not supported (its log line only, the file is not opened) or the file
    // does not decode: missing, empty, truncated, not a picture ("Couldn't load image: " and the
    // file URL, after a line "Decoding failed: " with the decoder's reason); the grids and
    // alphaFirst then keep their contents. True with both flags false on a readable file, nothing
    // rendered.
    bool prepareImageData(const std::filesystem::path& url, bool eightX8, bool thirty2x32);
    // Plain (usePlus false) or plus fingerprint of the 8 x 8 grid; rewrites the grid grey.
    // Caller guarantees an earlier successful prepare with eightX8.
    uint64_t calculateLumsift(bool usePlus);
    // Pro fingerprint of the 32 x 32 grid. Caller guarantees a prepare with thirty2x32.
    uint64_t calculateHashPro();
    // Convenience: prepare (8 x 8 only, or 32 x 32 only) then compute; 0 when preparing fails.
    uint64_t visualHash(const std::filesystem::path& url, bool usePlus);
    uint64_t visualHashPro(const std::filesystem::path& url);

    // Distance operations: no state, no allocation, any thread, cannot fail.
    // Number of differing bits, 0 to 64.
    static int64_t distanceCalc(uint64_t a, uint64_t b);
    // The 8 x 8 bit grid turned clockwise by a quarter-turn (bit 8r + c to bit 8c + 7 - r).
    static uint64_t rotateLeft(uint64_t x);
    // distanceCalc(a, b); with checkRotations, the least over b turned 0 to 3 quarter-turns.
    static int64_t hammingDistance(uint64_t a, uint64_t b, bool checkRotations);

    // Access for tests and the analysis; the references live as long as the calculator.
    const std::vector<std::string>& imageTypes() const { return imgTypes; }
    PixelGrid<8>& grid8() { return bitmapReducedImage8x8; }
    PixelGrid<32>& grid32() { return bitmapReducedImage32x32; }
    bool isAlphaFirst() const { return alphaFirst; }
    void setAlphaFirst(bool value) { alphaFirst = value; }

private:
    // Owns one FFTW plan (fftw_plan); planning and destroying go through the process-wide
    // planner lock.
    class FftwPlan {
    public:
        // Takes ownership of `plan` (may be null).
        explicit FftwPlan(fftw_plan_s* plan) : plan_(plan) {}
        ~FftwPlan();
        FftwPlan(const FftwPlan&) = delete;
        FftwPlan& operator=(const FftwPlan&) = delete;
        fftw_plan_s* get() const { return plan_; }

    private:
        fftw_plan_s* plan_;
    };

    std::vector<std::string> imgTypes;
    int32_t reducedImageSize = 8;
    PixelGrid<8> bitmapReducedImage8x8{};
    PixelGrid<32> bitmapReducedImage32x32{};
    bool alphaFirst = false;
    int32_t dctSize = 32;
    double data[32][32]{};
    double out[32][32]{};
    FftwPlan dctPlan;
};

// The text of the file URL of `path` ("file:///photos/My%20Cat.jpg"), as the calculator's log
// lines name files. A relative path is made absolute from the current folder where it can be.
std::string fileUrlText(const std::filesystem::path& path);

} // namespace lumsift
