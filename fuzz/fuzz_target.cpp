// The libFuzzer program of one target, named by VANTOR_FUZZ_TARGET at compile time: each input
// goes through that target's body (fuzz_entries.h), and a broken promise aborts with its text.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/fuzz_entries.h"

namespace {

constexpr const vantor::fuzz::FuzzTarget* FindTarget(std::string_view name) {
    for (const vantor::fuzz::FuzzTarget& target : vantor::fuzz::kFuzzTargets) {
        if (name == target.name) {
            return &target;
        }
    }
    return nullptr;
}

constexpr const vantor::fuzz::FuzzTarget* kTarget = FindTarget(VANTOR_FUZZ_TARGET);
static_assert(kTarget != nullptr, "VANTOR_FUZZ_TARGET names no fuzz target");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = kTarget->check(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", kTarget->name, problem.c_str());
        std::abort();
    }
    return 0;
}
