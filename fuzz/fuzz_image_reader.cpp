// libFuzzer target: an input is an image file for the header check and the packet reader.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = vantor::fuzz::CheckImageReaderInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "image reader: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
