#include <unistd.h>

#include <cstdio>
#include <vector>

#include "image/sha256.h"
#include "platform/regular_file.h"

namespace vantor {

namespace {

// What one read takes: large enough that the system calls cost nothing beside the hashing.
constexpr std::size_t kDigestBlockBytes = 256 * 1024;

}  // namespace

std::string Sha256Hasher::Hex() const {
    return HexOf(Digest());
}

std::string HexOf(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::string Sha256Hex(const std::string& bytes) {
    Sha256Hasher hash;
    hash.Add(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hash.Hex();
}

std::optional<FileDigest> DigestFile(const std::string& path) {
    // Not blocking on a FIFO that has no writer: only a regular file is read.
    const int fd = platform::OpenRegularFile(path, false, false);
    if (fd < 0) {
        return std::nullopt;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    // The stream's own buffer would only copy what goes straight into this one.
    std::setvbuf(file, nullptr, _IONBF, 0);
    Sha256Hasher hash;
    FileDigest digest;
    std::vector<unsigned char> buffer(kDigestBlockBytes);
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        hash.Add(buffer.data(), got);
        digest.size_bytes += static_cast<long long>(got);
    }
    const bool whole = std::ferror(file) == 0;
    std::fclose(file);
    if (!whole) {
        return std::nullopt;
    }
    digest.sha256 = hash.Hex();
    return digest;
}

}  // namespace vantor
