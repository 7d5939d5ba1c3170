#include "platform/invariant.h"

#include <cstdio>
#include <cstdlib>

namespace vantor::platform {

void InvariantBroken(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "vantor: invariant broken at %s:%d: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

}  // namespace vantor::platform
