// SHA-256 of a file, for the run record: what was sent can be matched to a release afterwards.
#pragma once

#include <optional>
#include <string>

namespace vantor {

struct FileDigest {
    long long size_bytes = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

// Reads the regular file at `path` to its end; nothing when it cannot be opened or read.
std::optional<FileDigest> DigestFile(const std::string& path);

// The SHA-256 of `bytes`, in hexadecimal.
std::string Sha256Hex(const std::string& bytes);

}  // namespace vantor
