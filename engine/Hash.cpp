// MD2, MD4, MD5 and SHA-1 digests over nettle's generic hash descriptors.
#include "engine/Hash.h"

#include "platform/log/Log.h"

#include <nettle/md2.h>
#include <nettle/md4.h>
#include <nettle/md5.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha1.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace lumsift {

namespace {

constexpr int32_t kDefaultFileBufferSize = 4096;

// One running digest of nettle's `algorithm`.
class DigestState {
public:
    explicit DigestState(const nettle_hash& algorithm)
        : algorithm_(algorithm),
          context_(std::make_unique<std::max_align_t[]>(
              (algorithm.context_size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t))) {
        algorithm_.init(context_.get());
    }
    void update(std::span<const uint8_t> bytes) {
        algorithm_.update(context_.get(), bytes.size(), bytes.data());
    }
    // Writes the digest into `out`, which holds algorithm.digest_size bytes.
    void finish(std::span<uint8_t> out) {
        algorithm_.digest(context_.get(), out.size(), out.data());
    }

private:
    const nettle_hash& algorithm_;
    std::unique_ptr<std::max_align_t[]> context_;
};

// Reads up to `buffer.size()` bytes, retrying when interrupted; 0 at the end, on an error or
// without a handle.
std::size_t readChunk(const UniqueFd& handle, std::span<uint8_t> buffer) {
    if (!handle.valid())
        return 0;
    for (;;) {
        const ssize_t got = ::read(handle.get(), buffer.data(), buffer.size());
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno != EINTR)
            return 0;
    }
}

} // namespace

// String digest: digestLen, allocDigest, init, update with all the bytes, final.
void Hash::stringDigest(const nettle_hash& algorithm, std::span<const uint8_t> bytes) {
    digestLen = algorithm.digest_size;
    allocDigest();
    DigestState state(algorithm);
    state.update(bytes);
    state.finish(digest);
}

// File digest: chunk by chunk until a read returns no bytes.
void Hash::fileDigest(const nettle_hash& algorithm, const UniqueFd& handle) {
    // One read buffer for the whole digest, of the size in force now.
    std::vector<uint8_t> buffer(fileBufferSize_ >= 1 ? fileBufferSize_ : kDefaultFileBufferSize);
    digestLen = algorithm.digest_size;
    allocDigest();
    DigestState state(algorithm);
    for (std::size_t got = readChunk(handle, buffer); got > 0; got = readChunk(handle, buffer))
        state.update(std::span(buffer).first(got));
    state.finish(digest);
}

std::string Hash::createStringHash(std::string_view string, int32_t hashType) {
    const std::span bytes(reinterpret_cast<const uint8_t*>(string.data()), string.size());
    log::line("Converted String: " + std::string(string) + " and the length is " +
              std::to_string(static_cast<long>(string.size())));
    switch (hashType) {
    case kSHA1:
        createStringSHA1Digest(bytes);
        break;
    case kMD5:
        createStringMD5Digest(bytes);
        break;
    case kMD4:
        createStringMD4Digest(bytes);
        break;
    case kMD2:
        createStringMD2Digest(bytes);
        break;
    default:
        break;
    }
    return description();
}

std::string Hash::createFileHash(const std::filesystem::path& path, int32_t hashType) {
    const UniqueFd handle(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    switch (hashType) {
    case kSHA1:
        createFileSHA1Digest(handle);
        break;
    case kMD5:
        createFileMD5Digest(handle);
        break;
    case kMD4:
        createFileMD4Digest(handle);
        break;
    case kMD2:
        createFileMD2Digest(handle);
        break;
    default:
        break;
    }
    return description();
}

void Hash::createStringMD2Digest(std::span<const uint8_t> bytes) {
    stringDigest(nettle_md2, bytes);
}
void Hash::createStringMD4Digest(std::span<const uint8_t> bytes) {
    stringDigest(nettle_md4, bytes);
}
void Hash::createStringMD5Digest(std::span<const uint8_t> bytes) {
    stringDigest(nettle_md5, bytes);
}
void Hash::createStringSHA1Digest(std::span<const uint8_t> bytes) {
    stringDigest(nettle_sha1, bytes);
}

void Hash::createFileMD2Digest(const UniqueFd& handle) {
    fileDigest(nettle_md2, handle);
}
void Hash::createFileMD4Digest(const UniqueFd& handle) {
    fileDigest(nettle_md4, handle);
}
void Hash::createFileMD5Digest(const UniqueFd& handle) {
    fileDigest(nettle_md5, handle);
}
void Hash::createFileSHA1Digest(const UniqueFd& handle) {
    fileDigest(nettle_sha1, handle);
}

void Hash::freeDigest() {
    digest.clear();
    digest.shrink_to_fit();
}

void Hash::allocDigest() {
    freeDigest();
    try {
        digest.resize(static_cast<std::size_t>(digestLen));
    } catch (const std::bad_alloc&) {
        log::line("Malloc of digest failed");
        std::exit(-1);
    }
}

std::string Hash::description() const {
    if (digestLen < 1)
        return "";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(static_cast<std::size_t>(digestLen) * 2);
    for (const uint8_t byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

std::string createFileHash(const std::filesystem::path& path, int32_t hashType) {
    Hash hash;
    return hash.createFileHash(path, hashType);
}

} // namespace lumsift
