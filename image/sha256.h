// SHA-256 of a file, for the run record: what was sent can be matched to a release afterwards.
// The hashing itself is the system's: OpenSSL's libcrypto where the build has it, otherwise a
// portable implementation (the Windows build); the build picks the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vantor {

struct FileDigest {
    long long size_bytes = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// A SHA-256 taken piece by piece, for bytes that are read in blocks.
class Sha256Hasher {
  public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(Sha256Hasher&& other) noexcept;
    Sha256Hasher& operator=(Sha256Hasher&& other) noexcept;
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    void Add(const unsigned char* bytes, std::size_t count);
    void Add(unsigned char byte) { Add(&byte, 1); }
    // The digest of everything added so far; more may be added afterwards.
    Sha256Digest Digest() const;
    // The same in hexadecimal.
    std::string Hex() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// 64 lower-case hexadecimal digits.
std::string HexOf(const Sha256Digest& digest);

// Reads the regular file at `path` to its end; nothing when it cannot be opened or read.
std::optional<FileDigest> DigestFile(const std::string& path);

// The SHA-256 of `bytes`, in hexadecimal.
std::string Sha256Hex(const std::string& bytes);

}  // namespace vantor
