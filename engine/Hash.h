// Digests (MD2, MD4, MD5, SHA-1) of a string's UTF-8 text or of a file's content, as lower-case
// hexadecimal text. Stands alone: nothing else in the engine calls it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd/UniqueFd.h"

struct nettle_hash;

namespace lumsift {

class Hash {
public:
    // Hash types.
    enum : int32_t { kSHA1 = 0, kMD5 = 1, kMD4 = 2, kMD2 = 3 };

    // `init`: fileBufferSize 4096, no digest, digestLen 0.
    Hash() = default;

    // Digest of the UTF-8 text of `string` (borrowed) for `hashType`, logged as "Converted String:
    // ... and the length is ..."; returns description(). Another hashType computes nothing and
    // returns the description of the digest already held ("" for a new object).
    std::string createStringHash(std::string_view string, int32_t hashType);
    // Digest of the content of the file at `path` for `hashType`; returns description(). A file
    // that cannot be opened is digested as empty input. Another hashType computes nothing.
    std::string createFileHash(const std::filesystem::path& path, int32_t hashType);

    // The string digests over `bytes` (borrowed); each replaces the digest held.
    void createStringMD2Digest(std::span<const uint8_t> bytes);
    void createStringMD4Digest(std::span<const uint8_t> bytes);
    void createStringMD5Digest(std::span<const uint8_t> bytes);
    void createStringSHA1Digest(std::span<const uint8_t> bytes);
    // The file digests, reading `handle` (borrowed; invalid means no handle, digested as empty
    // input) to its end in chunks of fileBufferSize bytes through one buffer.
    void createFileMD2Digest(const UniqueFd& handle);
    void createFileMD4Digest(const UniqueFd& handle);
    void createFileMD5Digest(const UniqueFd& handle);
    void createFileSHA1Digest(const UniqueFd& handle);

    // Releases the digest buffer, if any.
    void freeDigest();
    // freeDigest, then a new buffer of digestLen bytes. When it cannot be had, logs "Malloc of
    // digest failed" and ends the process with status -1.
    void allocDigest();
    // Two lower-case hexadecimal digits per digest byte; "" when digestLen is below 1.
    std::string description() const;

    int32_t fileBufferSize() const { return fileBufferSize_; }
    // Callers set values of at least 1; a smaller value reads in chunks of 4096 bytes.
    void setFileBufferSize(int32_t size) { fileBufferSize_ = size; }
    int64_t digestLength() const { return digestLen; }

private:
    // The string and file digests of one of nettle's algorithms (borrowed descriptor).
    void stringDigest(const nettle_hash& algorithm, std::span<const uint8_t> bytes);
    void fileDigest(const nettle_hash& algorithm, const UniqueFd& handle);

    std::vector<uint8_t> digest;
    int64_t digestLen = 0;
    int32_t fileBufferSize_ = 4096;
};

// The class operation createFileHash: a new Hash's createFileHash(path, hashType).
std::string createFileHash(const std::filesystem::path& path, int32_t hashType);

} // namespace lumsift
