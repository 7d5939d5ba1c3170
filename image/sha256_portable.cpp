// The portable SHA-256, for a build without libcrypto (the Windows build): the standard's
// compression function, a 64-byte block at a time.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "image/sha256.h"

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

struct Sha256Hasher::State {
    std::array<std::uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, kBlockBytes> block{};
    std::size_t used = 0;
    std::uint64_t total_bytes = 0;

    void Add(const unsigned char* bytes, std::size_t count) {
        total_bytes += count;
        while (count > 0) {
            const std::size_t taken = std::min(count, kBlockBytes - used);
            std::memcpy(block.data() + used, bytes, taken);
            used += taken;
            bytes += taken;
            count -= taken;
            if (used == kBlockBytes) {
                Compress();
                used = 0;
            }
        }
    }

    void Compress() {
        std::array<std::uint32_t, 64> w{};
        for (std::size_t i = 0; i < 16; ++i) {
            w[i] = std::uint32_t{block[i * 4]} << 24 | std::uint32_t{block[i * 4 + 1]} << 16 |
                   std::uint32_t{block[i * 4 + 2]} << 8 | std::uint32_t{block[i * 4 + 3]};
        }
        for (std::size_t i = 16; i < 64; ++i) {
            const std::uint32_t s0 =
                Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = state;
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
            state[i] += v[i];
        }
    }
};

Sha256Hasher::Sha256Hasher() : state_(std::make_unique<State>()) {}
Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&& other) noexcept
    : state_(std::exchange(other.state_, std::make_unique<State>())) {}
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&& other) noexcept {
    state_ = std::exchange(other.state_, std::make_unique<State>());
    return *this;
}

void Sha256Hasher::Add(const unsigned char* bytes, std::size_t count) {
    state_->Add(bytes, count);
}

Sha256Digest Sha256Hasher::Digest() const {
    State last = *state_;  // the padding goes into a copy, so this one can go on
    const std::uint64_t total_bits = last.total_bytes * 8;
    const unsigned char one_bit = 0x80;
    last.Add(&one_bit, 1);
    const unsigned char zero = 0;
    while (last.used != kBlockBytes - 8) {
        last.Add(&zero, 1);
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>(total_bits >> shift);
        last.Add(&byte, 1);
    }
    Sha256Digest digest{};
    for (std::size_t i = 0; i < last.state.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            digest[i * 4 + b] = static_cast<std::uint8_t>(last.state[i] >> (24 - 8 * b));
        }
    }
    return digest;
}

}  // namespace vantor
