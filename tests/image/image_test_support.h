// Helpers of the image tests: images on disk that remove themselves, and the reader's texts.
#pragma once

#include <cstdio>
#include <string>

#include "image/image_reader.h"
#include "image/image_writer.h"

namespace vantor::test {

// An image written to a temporary file for the life of the object.
class TempImage {
  public:
    explicit TempImage(const image_writer::Bytes& bytes)
        : path_(image_writer::WriteTempFile(bytes)) {}
    ~TempImage() {
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
    }
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline constexpr const char* kBopText = "Error: read as the BOP word.";
inline constexpr const char* kTooLongText = "   Error: A packet exceeds the maximum packet size";
inline constexpr const char* kChecksumText = "Error:  Packet checksum. ";
inline constexpr const char* kPrematureEndText = "Error: Premature end-of-file encountered";
inline constexpr const char* kNotOrrimText =
    "Error: The input file is not recognized as an Orrim file.";
inline constexpr const char* kNotKdxText =
    "Error: The input file is not recognized as a KDX Orrim file.";

}  // namespace vantor::test
