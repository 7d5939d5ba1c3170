// What the benchmark reads from the simulated line's recorded traffic: the packet phase's line
// time, the drive's own processing time, and the host's turnaround between packets.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_world.h"

namespace vantor::bench {

struct PacketPhase {
    std::int64_t line_ns = 0;           // bytes on the line, both ways, 10 bit times each
    std::int64_t drive_ns = 0;          // the drive's pauses before it answered
    std::int64_t host_ns = 0;           // the line's pauses before the host's next byte
    std::vector<double> turnaround_ms;  // per packet after the first
};

// The receive side of the host's UART as the simulated drive models it: bytes reach the
// receive queue when `fifo_trigger` have gathered or the line has been quiet for
// `fifo_timeout_chars` character times.
struct FifoModel {
    int fifo_trigger = 14;
    int fifo_timeout_chars = 4;
    std::int64_t char_ns = 0;
};

// Reads the traffic between `from_ns` and `to_ns` (the packet phase).
PacketPhase AnalysePacketPhase(const std::vector<sim::LineEvent>& traffic, std::int64_t from_ns,
                               std::int64_t to_ns, const FifoModel& fifo);

double Median(std::vector<double> values);

}  // namespace vantor::bench
