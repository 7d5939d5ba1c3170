// Line noise: drawn from a seed, so the same host calls meet the same faults every run.
#include <gtest/gtest.h>

#include <tuple>

#include "sim/world_state.h"
#include "sim_host.h"

namespace vantor::sim::testing {
namespace {

struct Outcome {
    std::vector<std::tuple<LineEvent::Kind, std::int64_t, std::int64_t, int>> traffic;
    std::vector<std::uint8_t> drive_bytes;
    std::vector<std::uint8_t> received;
    std::size_t accepted = 0;
};

// A host sending 40 packets, each followed by a 100 ms wait and a read, on a noisy line.
Outcome RunNoisyExchange(const std::string& options) {
    SimHost host(options, 19200);
    Outcome outcome;
    for (std::uint16_t packet = 0; packet < 40; ++packet) {
        host.Send(Packet(Words({0x5752, packet, 0x1234, 0x5678})));
        host.WaitMs(100);
        const auto bytes = host.ReadAll();
        outcome.received.insert(outcome.received.end(), bytes.begin(), bytes.end());
    }
    for (const LineEvent& event : host.world().Traffic()) {
        outcome.traffic.emplace_back(event.kind, event.at_ns, event.end_ns, event.value);
    }
    outcome.drive_bytes = host.world().DriveBytes();
    outcome.accepted = host.world().AcceptedPackets().size();
    return outcome;
}

// Two runs with the same host calls must match to the nanosecond, event by event.
TEST(Noise, SameSeedGivesTheSameRun) {
    const Outcome first = RunNoisyExchange("noise=0.02,seed=7");
    const Outcome second = RunNoisyExchange("noise=0.02,seed=7");
    EXPECT_EQ(first.traffic, second.traffic);
    EXPECT_EQ(first.drive_bytes, second.drive_bytes);
    EXPECT_EQ(first.received, second.received);
    EXPECT_EQ(first.accepted, second.accepted);
}

// Catches noise that is not drawn from the seed at all (or not applied): another seed must
// lead to another run, and a noisy run must lose some packets that a clean one keeps.
TEST(Noise, OtherSeedGivesAnotherRunAndNoiseCostsPackets) {
    const Outcome clean = RunNoisyExchange("");
    const Outcome seven = RunNoisyExchange("noise=0.02,seed=7");
    const Outcome eight = RunNoisyExchange("noise=0.02,seed=8");
    EXPECT_EQ(clean.accepted, 40u);
    EXPECT_LT(seven.accepted, 40u);
    EXPECT_NE(seven.received, eight.received);
}

TEST(Noise, WithoutNoiseTheHostReceivesWhatTheDriveSent) {
    const Outcome clean = RunNoisyExchange("seed=99");
    EXPECT_EQ(clean.received, clean.drive_bytes);
}

// Each affected byte is dropped or changed, half and half, at the share asked for.
TEST(LineNoise, AffectsTheShareAskedForHalfDroppedHalfChanged) {
    LineNoise noise(0.3, 42);
    int dropped = 0;
    int changed = 0;
    constexpr int kBytes = 100000;
    for (int i = 0; i < kBytes; ++i) {
        std::uint8_t byte = static_cast<std::uint8_t>(i);
        if (!noise.Pass(byte)) {
            ++dropped;
        } else if (byte != static_cast<std::uint8_t>(i)) {
            ++changed;
        }
    }
    EXPECT_NEAR(dropped, kBytes * 0.15, kBytes * 0.01);
    EXPECT_NEAR(changed, kBytes * 0.15, kBytes * 0.01);
}

}  // namespace
}  // namespace vantor::sim::testing
