#include "bench/bench_analysis.h"

#include <algorithm>

namespace vantor::bench {

namespace {

using Kind = sim::LineEvent::Kind;

// Follows the host's receive FIFO as the simulated drive models it, to tell when each byte
// from the drive reached the receive queue (the recorded traffic holds when it left the line).
class FifoFollower {
  public:
    explicit FifoFollower(const FifoModel& fifo) : fifo_(fifo) {}

    // The arrival in the receive queue of the byte that ended on the line at `end_ns`, as far
    // as known now: bytes short of the trigger level wait for the quiet-line timeout.
    std::int64_t ByteEnded(std::int64_t end_ns) {
        const std::int64_t timeout_ns = fifo_.fifo_timeout_chars * fifo_.char_ns;
        if (held_ > 0 && end_ns - last_end_ns_ >= timeout_ns) {
            held_ = 0;  // the quiet line handed the earlier bytes on
        }
        last_end_ns_ = end_ns;
        if (++held_ >= fifo_.fifo_trigger) {
            held_ = 0;
            return end_ns;
        }
        return end_ns + timeout_ns;
    }

  private:
    FifoModel fifo_;
    int held_ = 0;
    std::int64_t last_end_ns_ = 0;
};

}  // namespace

PacketPhase AnalysePacketPhase(const std::vector<sim::LineEvent>& traffic, std::int64_t from_ns,
                               std::int64_t to_ns, const FifoModel& fifo) {
    PacketPhase phase;
    FifoFollower receiver(fifo);
    std::int64_t previous_end_ns = -1;
    bool drive_answered = false;  // since the host's last byte
    std::int64_t response_arrival_ns = -1;
    for (const sim::LineEvent& event : traffic) {
        const bool host = event.kind == Kind::HostByte;
        if ((!host && event.kind != Kind::DriveByte) || event.at_ns < from_ns ||
            event.at_ns > to_ns) {
            continue;
        }
        const std::int64_t gap_ns = previous_end_ns < 0 ? 0 : event.at_ns - previous_end_ns;
        (host ? phase.host_ns : phase.drive_ns) += std::max<std::int64_t>(gap_ns, 0);
        if (host && drive_answered) {
            // The first byte of the next packet after the drive's answer.
            phase.turnaround_ms.push_back(static_cast<double>(event.at_ns - response_arrival_ns) /
                                          1e6);
            drive_answered = false;
        }
        if (!host) {
            drive_answered = true;
            response_arrival_ns = receiver.ByteEnded(event.at_ns + fifo.char_ns);
        }
        phase.line_ns += fifo.char_ns;
        previous_end_ns = event.at_ns + fifo.char_ns;
    }
    return phase;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace vantor::bench
