#include "image/sha256.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "platform/regular_file.h"

namespace vantor {

namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::size_t kBlockBytes = 64;

std::uint32_t Rotate(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

}  // namespace

void Sha256Hasher::Add(const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        block_[used_++] = bytes[i];
        if (used_ == kBlockBytes) {
            Compress();
            used_ = 0;
        }
    }
    total_bytes_ += count;
}

std::string Sha256Hasher::Hex() const {
    Sha256Hasher last = *this;  // the padding goes into a copy, so this one can go on
    const std::uint64_t total_bits = total_bytes_ * 8;
    last.Add(0x80);
    while (last.used_ != kBlockBytes - 8) {
        last.Add(0);
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
        last.Add(static_cast<unsigned char>(total_bits >> shift));
    }
    std::string hex;
    char digits[9];
    for (std::uint32_t word : last.state_) {
        std::snprintf(digits, sizeof digits, "%08x", word);
        hex += digits;
    }
    return hex;
}

void Sha256Hasher::Compress() {
    std::array<std::uint32_t, 64> w{};
    for (std::size_t i = 0; i < 16; ++i) {
        w[i] = std::uint32_t{block_[i * 4]} << 24 | std::uint32_t{block_[i * 4 + 1]} << 16 |
               std::uint32_t{block_[i * 4 + 2]} << 8 | std::uint32_t{block_[i * 4 + 3]};
    }
    for (std::size_t i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::array<std::uint32_t, 8> v = state_;
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t s1 = Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25);
        const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const std::uint32_t t1 = v[7] + s1 + choice + kRound[i] + w[i];
        const std::uint32_t s0 = Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22);
        const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        const std::uint32_t t2 = s0 + majority;
        v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
    }
    for (std::size_t i = 0; i < 8; ++i) {
        state_[i] += v[i];
    }
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
    Sha256Hasher hash;
    FileDigest digest;
    unsigned char buffer[64 * 1024];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        hash.Add(buffer, got);
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
