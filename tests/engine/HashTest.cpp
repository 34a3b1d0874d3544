// Digests against the published test vectors (RFC 1319, 1320, 1321, FIPS 180), of strings and of
// files read in chunks.
#include "engine/Hash.h"

#include "platform/log/Log.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

using testimages::writeBytes;

struct Vector {
    int32_t type;
    std::string input;
    std::string digest;
};

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string kAlphanumeric = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

const std::vector<Vector>& publishedVectors() {
    static const std::vector<Vector> vectors = {
        // RFC 1319
        {Hash::kMD2, "", "8350e5a3e24c153df2275c9f80692773"},
        {Hash::kMD2, "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
        {Hash::kMD2, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
        {Hash::kMD2, "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
        {Hash::kMD2, kAlphabet, "4e8ddff3650292ab5a4108c3aa47940b"},
        {Hash::kMD2, kAlphanumeric, "da33def2a42df13975352846c30338cd"},
        {Hash::kMD2, kDigits, "d5976f79d83d3a0dc9806c3c66f3efd8"},
        // RFC 1320
        {Hash::kMD4, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {Hash::kMD4, "a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {Hash::kMD4, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {Hash::kMD4, "message digest", "d9130a8164549fe818874806e1c7014b"},
        {Hash::kMD4, kAlphabet, "d79e1c308aa5bbcdeea8ed63df412da9"},
        {Hash::kMD4, kAlphanumeric, "043f8582f241db351ce627e153e7f0e4"},
        {Hash::kMD4, kDigits, "e33b4ddc9c38f2199c3e7b164fcc0536"},
        // RFC 1321
        {Hash::kMD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {Hash::kMD5, "a", "0cc175b9c0f1b6a831c399e269772661"},
        {Hash::kMD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {Hash::kMD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {Hash::kMD5, kAlphabet, "c3fcd3d76192e4007dfb496cca67e13b"},
        {Hash::kMD5, kAlphanumeric, "d174ab98d277d9f5a5611c2c9f419d9f"},
        {Hash::kMD5, kDigits, "57edf4a22be3c955ac49da2e2107b67a"},
        // FIPS 180
        {Hash::kSHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {Hash::kSHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {Hash::kSHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {Hash::kSHA1, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    return vectors;
}

TEST(Hash, StringsGiveThePublishedDigests) {
    const log::Capture capture;
    for (const auto& v : publishedVectors()) {
        Hash hash;
        EXPECT_EQ(hash.createStringHash(v.input, v.type), v.digest)
            << "type " << v.type << " input of " << v.input.size() << " bytes";
    }
}

TEST(Hash, FilesGiveThePublishedDigestsWhateverTheChunkSizeAndReadToTheirEnd) {
    const testimages::TempDir dir;
    int n = 0;
    for (const auto& v : publishedVectors()) {
        const auto path = writeBytes(dir.path() / std::to_string(n++), v.input);
        for (const int32_t chunk : {1, 3, 64, 4096}) {
            Hash hash;
            hash.setFileBufferSize(chunk);
            EXPECT_EQ(hash.createFileHash(path, v.type), v.digest)
                << "type " << v.type << " chunk " << chunk << " size " << v.input.size();
        }
    }
    // A file of exactly one or two buffers is read to its end.
    Hash reference;
    for (const std::size_t size : {std::size_t{4096}, std::size_t{8192}}) {
        const std::string content(size, 'q');
        const auto path = writeBytes(dir.path() / std::to_string(size), content);
        Hash hash;
        ASSERT_EQ(hash.fileBufferSize(), 4096);
        for (int32_t type = Hash::kSHA1; type <= Hash::kMD2; ++type)
            EXPECT_EQ(hash.createFileHash(path, type), reference.createStringHash(content, type));
    }
}

TEST(Hash, MissingFileOtherTypesAndTheClassOperation) {
    const log::Capture capture;
    Hash hash;
    EXPECT_EQ(hash.description(), "");
    // A missing file digests as empty input.
    EXPECT_EQ(hash.createFileHash("/nonexistent/lumsift/none", Hash::kMD5),
              "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(createFileHash("/nonexistent/lumsift/none", Hash::kSHA1),
              "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_TRUE(capture.lines().empty());
    // Other types compute nothing and keep the digest held.
    EXPECT_EQ(Hash().createStringHash("abc", 4), "");
    EXPECT_EQ(hash.createStringHash("other", 4), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hash.createFileHash("/nonexistent", -1), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hash.createStringHash("abc", Hash::kSHA1).size(), 40u);
    EXPECT_EQ(hash.digestLength(), 20);
    const testimages::TempDir dir;
    const auto path = writeBytes(dir / "class", "message digest");
    for (int32_t type = Hash::kSHA1; type <= Hash::kMD2; ++type)
        EXPECT_EQ(createFileHash(path, type), Hash().createFileHash(path, type));
}

TEST(Hash, MultibyteTextIsDigestedAndLoggedByItsBytes) {
    const log::Capture capture;
    // "é" is two bytes of UTF-8; "%s" in it must not be taken as a format.
    const std::string text = "\xC3\xA9 %s";
    Hash bytes;
    bytes.createStringMD5Digest(std::span(reinterpret_cast<const uint8_t*>(text.data()), 5));
    EXPECT_EQ(Hash().createStringHash(text, Hash::kMD5), bytes.description());
    EXPECT_TRUE(capture.contains("Converted String: \xC3\xA9 %s and the length is 5"));
}

} // namespace
} // namespace lumsift
