#include "sim/seeded_random.h"

#include "platform/invariant.h"

namespace vantor::sim {

std::uint64_t SeededRandom::Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double SeededRandom::Uniform() {
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

int SeededRandom::Between(int low, int high) {
    VANTOR_ASSERT(low <= high);
    const auto span = static_cast<std::uint64_t>(static_cast<std::int64_t>(high) - low) + 1;
    return static_cast<int>(low + static_cast<std::int64_t>(Next() % span));
}

}  // namespace vantor::sim
