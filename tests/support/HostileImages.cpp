// JPEG kinds written with libjpeg, decompression bombs written byte by byte, damaged copies.
#include "tests/support/HostileImages.h"

#include "tests/support/TestImages.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <zlib.h>

namespace lumsift::testimages {
namespace {

// Appends `value` as `bytes` bytes, little-endian or big-endian.
void put(std::string& out, uint32_t value, int bytes, bool little) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>(value >> (8 * (little ? i : bytes - 1 - i)));
}

// A JPEG marker segment: the marker, its length (counting itself) and `payload`.
std::string segment(uint8_t marker, std::string_view payload) {
    std::string out = {'\xFF', static_cast<char>(marker)};
    put(out, static_cast<uint32_t>(payload.size() + 2), 2, false);
    return out.append(payload);
}

// A PNG chunk: length, type, data and the checksum over type and data.
std::string chunk(std::string_view type, std::string_view data) {
    std::string out;
    put(out, static_cast<uint32_t>(data.size()), 4, false);
    std::string body(type);
    body.append(data);
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    out.append(body);
    put(out, static_cast<uint32_t>(crc), 4, false);
    return out;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

} // namespace

std::string_view nameOf(JpegKind kind) {
    constexpr std::array<std::string_view, 7> kNames = {
        "baseline", "progressive",      "arithmetic", "arithmetic-progressive",
        "cmyk",     "cmyk-progressive", "grey"};
    return kNames.at(static_cast<size_t>(kind));
}

std::filesystem::path writeJpegOfKind(const std::filesystem::path& file, int index, JpegKind kind) {
    const PhotoPixels photo = photoPixels(index);
    const bool cmyk = kind == JpegKind::Cmyk || kind == JpegKind::CmykProgressive;
    const int components = cmyk ? 4 : kind == JpegKind::Grey ? 1 : 3;
    const std::unique_ptr<FILE, FileCloser> out(std::fopen(file.c_str(), "wb"));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors); // a libjpeg error here ends the test program
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, out.get());
    info.image_width = static_cast<JDIMENSION>(photo.width);
    info.image_height = static_cast<JDIMENSION>(photo.height);
    info.input_components = components;
    info.in_color_space = cmyk ? JCS_CMYK : components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info); // CMYK gets an Adobe marker
    jpeg_set_quality(&info, 90, TRUE);
    info.arith_code =
        kind == JpegKind::Arithmetic || kind == JpegKind::ArithmeticProgressive ? TRUE : FALSE;
    if (kind == JpegKind::Progressive || kind == JpegKind::ArithmeticProgressive ||
        kind == JpegKind::CmykProgressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(photo.width) * components);
    while (info.next_scanline < info.image_height) {
        const uint8_t* rgb = &photo.rgb[static_cast<size_t>(info.next_scanline) * photo.width * 3];
        for (int x = 0; x < photo.width; ++x, rgb += 3) {
            JSAMPLE* to = &row[static_cast<size_t>(x) * components];
            if (components == 1) {
                to[0] = static_cast<JSAMPLE>((rgb[0] * 299 + rgb[1] * 587 + rgb[2] * 114) / 1000);
                continue;
            }
            if (components == 3) {
                std::copy(rgb, rgb + 3, to);
                continue;
            }
            // Black, and the colour inks beside it, stored inverted as Adobe writes them.
            const int brightest = std::max({rgb[0], rgb[1], rgb[2]});
            for (int c = 0; c < 3; ++c)
                to[c] = static_cast<JSAMPLE>(
                    255 - (brightest == 0 ? 0 : (brightest - rgb[c]) * 255 / brightest));
            to[3] = static_cast<JSAMPLE>(brightest);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return file;
}

std::filesystem::path writeGifBomb(const std::filesystem::path& file, uint16_t width,
                                   uint16_t height) {
    std::string gif = "GIF89a";
    put(gif, width, 2, true);
    put(gif, height, 2, true);
    gif += std::string("\x80\0\0", 3);           // a global table of two colours
    gif += std::string("\0\0\0\xFF\xFF\xFF", 6); // black, white
    gif += '\x2C';                               // the image: at 0, 0, the whole screen
    put(gif, 0, 4, true);
    put(gif, width, 2, true);
    put(gif, height, 2, true);
    gif += std::string("\0\x02\x02\x44\x01\0;", 7); // no local table, two codes of data, end
    return writeBytes(file, gif);
}

std::filesystem::path writeJpegBomb(const std::filesystem::path& file, uint16_t width,
                                    uint16_t height, bool progressive) {
    std::string jpeg = "\xFF\xD8";
    jpeg += segment(0xDB, std::string(1, '\0') + std::string(64, '\x01')); // quantisation
    std::string frame = "\x08";
    put(frame, height, 2, false);
    put(frame, width, 2, false);
    frame += std::string("\x03\x01\x22\0\x02\x11\0\x03\x11\0", 10); // Y 2 x 2, Cb, Cr 1 x 1
    jpeg += segment(progressive ? 0xC2 : 0xC0, frame);
    // One code of one bit for each table: DC difference 0, and AC end of block.
    const std::string oneCode = std::string("\x01") + std::string(15, '\0') + std::string(1, '\0');
    jpeg += segment(0xC4, std::string(1, '\0') + oneCode);
    jpeg += segment(0xC4, std::string(1, '\x10') + oneCode);
    // All three components; the first DC scan of a progressive file, else the whole band.
    jpeg +=
        segment(0xDA, std::string("\x03\x01\0\x02\0\x03\0", 7) +
                          (progressive ? std::string("\0\0\0", 3) : std::string("\0\x3F\0", 3)));
    jpeg += std::string(39000, '\0');
    return writeBytes(file, jpeg + "\xFF\xD9");
}

std::filesystem::path writePngBomb(const std::filesystem::path& file, uint32_t width,
                                   uint32_t height, bool interlaced) {
    std::string header;
    put(header, width, 4, false);
    put(header, height, 4, false);
    header += std::string("\x08\x02\0\0", 4) + (interlaced ? '\x01' : '\0'); // 8-bit RGB
    // One row of zeros (filter byte and samples), compressed.
    const std::string row(1 + 3 * static_cast<size_t>(std::min<uint32_t>(width, 4096)), '\0');
    uLongf size = compressBound(static_cast<uLong>(row.size()));
    std::string data(size, '\0');
    if (compress(reinterpret_cast<Bytef*>(data.data()), &size,
                 reinterpret_cast<const Bytef*>(row.data()),
                 static_cast<uLong>(row.size())) != Z_OK)
        throw std::runtime_error("cannot compress a PNG row");
    data.resize(size);
    return writeBytes(file, "\x89PNG\r\n\x1A\n" + chunk("IHDR", header) + chunk("IDAT", data) +
                                chunk("IEND", ""));
}

std::filesystem::path writeJpegWithJunkAtTheEnd(const std::filesystem::path& from,
                                                const std::filesystem::path& to, size_t garbage) {
    std::string jpeg = readBytes(from);
    if (!jpeg.ends_with("\xFF\xD9"))
        throw std::runtime_error(from.string() + " does not end with its end marker");
    // Bytes that are no marker (never 0xFF), so that libjpeg reads them as extraneous.
    std::string junk(garbage, '\0');
    for (size_t i = 0; i < garbage; ++i)
        junk[i] = static_cast<char>(0x11 + i % 0x60);
    jpeg.insert(jpeg.size() - 2, junk);
    return writeBytes(to, jpeg);
}

std::filesystem::path writeOverwrittenCopy(const std::filesystem::path& from,
                                           const std::filesystem::path& to, size_t offset,
                                           std::string_view bytes) {
    std::string content = readBytes(from);
    if (offset + bytes.size() > content.size())
        throw std::runtime_error("overwriting past the end of " + from.string());
    content.replace(offset, bytes.size(), bytes);
    return writeBytes(to, content);
}

} // namespace lumsift::testimages
