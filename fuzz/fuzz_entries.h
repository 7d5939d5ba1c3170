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

// The input is a files list file as the Advanced options dialog loads it: its line split gives
// the bytes back, every line is a row or counted bad, and the rows saved and loaded again are
// the same rows.
std::string CheckDialogFilesListInput(const std::uint8_t* data, std::size_t size);

// The input is a telnet stream from the peer: split into reads anywhere, it gives the same data,
// commands and negotiation answers, and the answers stay within their bound.
std::string CheckTelnetInput(const std::uint8_t* data, std::size_t size);

// The input is what a serial line delivers with PARMRK: split into reads anywhere, it gives the
// same data bytes and breaks.
std::string CheckParmrkInput(const std::uint8_t* data, std::size_t size);

// The input is a settings store's text: a refused text names its line; what is read is written
// and read back as the same keys and values.
std::string CheckRegistryInput(const std::uint8_t* data, std::size_t size);

// The input is the text after "sim:": a refused text gives a reason, and a world made from
// accepted options runs and ends.
std::string CheckSimOptionsInput(const std::uint8_t* data, std::size_t size);

// Every target: its name (the fuzz program is fuzz_NAME, its corpus fuzz/corpus/NAME) and body.
struct FuzzTarget {
    const char* name;
    std::string (*check)(const std::uint8_t* data, std::size_t size);
};
inline constexpr FuzzTarget kFuzzTargets[] = {
    {"image_reader", CheckImageReaderInput},
    {"files_list", CheckFilesListInput},
    {"dialog_files_list", CheckDialogFilesListInput},
    {"telnet", CheckTelnetInput},
    {"parmrk", CheckParmrkInput},
    {"registry", CheckRegistryInput},
    {"sim_options", CheckSimOptionsInput},
};

}  // namespace vantor::fuzz
