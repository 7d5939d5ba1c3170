// A host on a simulated line, on the virtual clock: the calls a serial port layer makes,
// gathered into the few steps the tests need.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/sim_world.h"
#include "sim/simulated_line.h"
#include "support/test_support.h"

namespace vantor::sim::testing {

inline constexpr std::int64_t kNsPerMs = 1'000'000;

// Nanoseconds one byte (10 bit times) takes at `baud`.
inline std::int64_t CharNs(std::int64_t baud) {
    return 10'000'000'000 / baud;
}

class SimHost {
  public:
    explicit SimHost(const std::string& options = "", std::uint32_t baud = 9600);
    explicit SimHost(SimOptions options);

    test::SimBench bench;
    SimulatedLine line;

    SimWorld& world() { return *bench.world; }
    std::int64_t NowNs() { return bench.clock.NowNs(); }
    void WaitNs(std::int64_t ns) { bench.clock.Advance(ns); }
    void WaitMs(double ms) { WaitNs(static_cast<std::int64_t>(ms * kNsPerMs)); }

    void Send(const std::vector<std::uint8_t>& bytes);
    void Send(const std::string& text);
    // Holds the line in break for `ms`.
    void SendBreak(double ms);
    // One ClearError call: the error word (the bytes waiting go to `waiting` when given).
    std::uint32_t Errors(std::uint32_t* waiting = nullptr);
    std::uint32_t Waiting();
    std::vector<std::uint8_t> ReadAll();
    // Waits `ms`, then reads what arrived.
    std::vector<std::uint8_t> AnswerAfterMs(double ms);

    // The events of one kind on the line so far.
    std::vector<LineEvent> Events(LineEvent::Kind kind);
};

// The bytes of words, high byte first.
std::vector<std::uint8_t> Words(std::initializer_list<std::uint16_t> words);
// A packet around `payload`: BOP word, length word, payload, checksum word.
std::vector<std::uint8_t> Packet(const std::vector<std::uint8_t>& payload);
std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b);

inline const std::vector<std::uint8_t> kInitFrame = {0xA5, 0x5A, 0x00, 0x02,
                                                     0x00, 0x00, 0x33, 0x33};
inline const std::vector<std::uint8_t> kResetFrame = {0xA5, 0x5A, 0x00, 0x06, 0x45, 0x58,
                                                      0x00, 0x00, 0xFF, 0xFE, 0x02, 0xA0};

}  // namespace vantor::sim::testing
