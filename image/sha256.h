// SHA-256 of a file, for the run record: what was sent can be matched to a release afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantor {

struct FileDigest {
    long long size_bytes = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

// A SHA-256 taken a few bytes at a time, for bytes that are read one by one.
class Sha256Hasher {
  public:
    void Add(const unsigned char* bytes, std::size_t count);
    void Add(unsigned char byte) { Add(&byte, 1); }
    // The digest of everything added so far, in hexadecimal; more may be added afterwards.
    std::string Hex() const;

  private:
    void Compress();

    std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block_{};
    std::size_t used_ = 0;
    std::uint64_t total_bytes_ = 0;
};

// Reads the regular file at `path` to its end; nothing when it cannot be opened or read.
std::optional<FileDigest> DigestFile(const std::string& path);

// The SHA-256 of `bytes`, in hexadecimal.
std::string Sha256Hex(const std::string& bytes);

}  // namespace vantor
