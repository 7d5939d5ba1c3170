// The simulator's generator: every draw of the simulated world (the line's noise) and of the
// tests that make up scenarios for it comes from here, so that a seed gives the same run with
// any compiler and standard library (the distributions of <random> differ between them).
#pragma once

#include <cstdint>

namespace vantor::sim {

// SplitMix64: small, fast, and good enough for faults and scenarios.
class SeededRandom {
  public:
    explicit SeededRandom(std::uint64_t seed) : state_(seed) {}

    // The next 64 random bits.
    std::uint64_t Next();
    // A number in [0, 1) with 53 random bits.
    double Uniform();
    // True with probability `p`.
    bool Chance(double p) { return Uniform() < p; }
    // A whole number from `low` to `high`, both included (low <= high).
    int Between(int low, int high);

  private:
    std::uint64_t state_;
};

}  // namespace vantor::sim
