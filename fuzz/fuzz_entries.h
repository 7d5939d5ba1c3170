// The bodies of the fuzz targets, shared by the libFuzzer programs and by the test suite that
// replays the committed corpus with the ordinary compiler. Each runs one input through a
// reader and checks what the reader promises; it returns "" or the first broken promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::fuzz {

// The input is an image file: the header is checked for every drive revision, and the
// packets are read for the first revision that accepts it.
std::string CheckImageReaderInput(const std::uint8_t* data, std::size_t size);

// The input is a files list file: it is read line by line as the job reads it and every line
// is split both ways.
std::string CheckFilesListInput(const std::uint8_t* data, std::size_t size);

}  // namespace vantor::fuzz
