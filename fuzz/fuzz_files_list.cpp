// libFuzzer target: an input is a files list file, read and split as the download job does.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = vantor::fuzz::CheckFilesListInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "files list: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
