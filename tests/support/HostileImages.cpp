// JPEG kinds written with libjpeg, decompression bombs written byte by byte, damaged copies.
#include "tests/support/HostileImages.h"

#include "tests/support/TestImages.h"

#include <algorithm>
#include <array>
#include <cstdio> // before jpeglib.h, which needs FILE
#include <cstdlib>
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

// The unsigned number of `bytes` bytes at `at` of `data`; throws past its end.
uint32_t numberAt(std::string_view data, size_t at, int bytes, bool little) {
    if (at + static_cast<size_t>(bytes) > data.size())
        throw std::runtime_error("a header field past the end of the file");
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= uint32_t{static_cast<uint8_t>(data[at + static_cast<size_t>(i)])}
                 << (8 * (little ? i : bytes - 1 - i));
    return value;
}

} // namespace

std::string_view nameOf(JpegKind kind) {
    constexpr std::array<std::string_view, 8> kNames = {
        "baseline", "progressive",      "arithmetic", "arithmetic-progressive",
        "cmyk",     "cmyk-progressive", "grey",       "many-scans"};
    return kNames.at(static_cast<size_t>(kind));
}

std::string jpegOfKind(const PhotoPixels& photo, JpegKind kind) {
    const bool cmyk = kind == JpegKind::Cmyk || kind == JpegKind::CmykProgressive;
    const int components = cmyk ? 4 : kind == JpegKind::Grey ? 1 : 3;
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors); // a libjpeg error here ends the test program
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
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
    // The DC coefficients of all components in one scan; then each AC coefficient of each
    // component alone, its high bits first and its lowest bit in a refinement.
    std::vector<jpeg_scan_info> scans = {{3, {0, 1, 2, 0}, 0, 0, 0, 0}};
    for (int component = 0; kind == JpegKind::ManyScans && component < 3; ++component)
        for (int k = 1; k < DCTSIZE2; ++k)
            for (const int high : {0, 1})
                scans.push_back({1, {component, 0, 0, 0}, k, k, high, 1 - high});
    if (kind == JpegKind::ManyScans) {
        info.scan_info = scans.data();
        info.num_scans = static_cast<int>(scans.size());
    }
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
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

std::filesystem::path writeJpegOfKind(const std::filesystem::path& file, int index, JpegKind kind) {
    return writeBytes(file, jpegOfKind(photoPixels(index), kind));
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

std::filesystem::path writeZeroSideCopy(const std::filesystem::path& from,
                                        const std::filesystem::path& to, bool zeroWidth,
                                        bool zeroHeight) {
    std::string data = readBytes(from);
    // Zeroes the fields of `bytes` bytes at `widthAt` and `heightAt`, as asked.
    const auto zero = [&](size_t widthAt, size_t heightAt, int bytes) {
        for (const auto& [asked, at] : {std::pair{zeroWidth, widthAt}, {zeroHeight, heightAt}}) {
            numberAt(data, at, bytes, true); // within the file
            if (asked)
                data.replace(at, static_cast<size_t>(bytes), static_cast<size_t>(bytes), '\0');
        }
    };
    // Each box or property of `type` (HEIF's "ispe", JPEG 2000's "ihdr"): `width` and `height`
    // bytes after its type.
    const auto zeroEvery = [&](std::string_view type, size_t width, size_t height) {
        size_t found = 0;
        for (size_t at = data.find(type); at != std::string::npos; at = data.find(type, at + 1)) {
            zero(at + width, at + height, 4);
            ++found;
        }
        if (found == 0)
            throw std::runtime_error("no " + std::string(type) + " in " + from.string());
    };
    const std::string_view view = data;
    if (view.starts_with("\xFF\xD8")) {
        // The segments up to the start of frame (C0 to CF but for C4, C8 and CC): its length,
        // precision, height, width.
        for (size_t at = 2; view.substr(at, 1) == "\xFF";
             at += 2 + numberAt(data, at + 2, 2, false)) {
            const auto marker = static_cast<uint8_t>(data[at + 1]);
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                marker != 0xCC) {
                zero(at + 7, at + 5, 2);
                return writeBytes(to, data);
            }
        }
        throw std::runtime_error("no start of frame in " + from.string());
    }
    if (view.starts_with("II") || view.starts_with("MM")) {
        // The entries of the first directory: a SHORT value stands in the first two bytes of its
        // field, a LONG fills it; zeroing all four zeroes either.
        const bool little = view[0] == 'I';
        const uint32_t ifd = numberAt(data, 4, 4, little);
        const uint32_t entries = numberAt(data, ifd, 2, little);
        size_t widthAt = 0, heightAt = 0;
        for (uint32_t i = 0; i < entries; ++i) {
            const size_t entry = ifd + 2 + 12 * size_t{i};
            const uint32_t tag = numberAt(data, entry, 2, little);
            if (tag == 256)
                widthAt = entry + 8;
            if (tag == 257)
                heightAt = entry + 8;
        }
        if (widthAt == 0 || heightAt == 0)
            throw std::runtime_error("no size in the first directory of " + from.string());
        zero(widthAt, heightAt, 4);
    } else if (view.starts_with("BM")) {
        zero(18, 22, 4); // the info header's width and height
    } else if (view.starts_with("RIFF") && view.substr(8, 4) == "WEBP") {
        // The lossy frame alone, in the simple layout (no extended header, whose canvas cannot be
        // 0 wide): its width and height follow the chunk's header, the frame tag and the start
        // code.
        const size_t frame = view.find("VP8 ");
        if (frame == std::string::npos)
            throw std::runtime_error("no lossy frame in " + from.string());
        const uint32_t length = numberAt(data, frame + 4, 4, true);
        const std::string chunk = data.substr(frame, 8 + size_t{length} + (length & 1));
        data = "RIFF";
        put(data, static_cast<uint32_t>(4 + chunk.size()), 4, true);
        data += "WEBP" + chunk;
        zero(26, 28, 2);
    } else if (view.substr(4, 4) == "ftyp") {
        zeroEvery("ispe", 8, 12); // after the version and flags: width, height
    } else if (view.substr(4, 8) == "jP  \r\n\x87\n") {
        zeroEvery("ihdr", 8, 4); // height, then width
        // The size marker: its length and capabilities, then the grid's right and bottom edges
        // and its left and top offsets; an edge on its offset declares a zero side.
        const size_t siz = view.find("\xFF\x4F\xFF\x51");
        if (siz == std::string::npos)
            throw std::runtime_error("no size marker in " + from.string());
        zero(siz + 8, siz + 12, 4);
        if (numberAt(data, siz + 16, 4, false) != 0 || numberAt(data, siz + 20, 4, false) != 0)
            throw std::runtime_error("an image offset in " + from.string());
    } else {
        throw std::runtime_error("no size to zero in " + from.string());
    }
    return writeBytes(to, data);
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
