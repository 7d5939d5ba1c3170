// The simulated line and the drive(s) on its far end. The world is a pure function of time:
// every call from the host side first advances it to the process clock's now, so it behaves
// the same under the real clock (demos, the CLI) and the virtual clock (tests).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/line_transcript.h"
#include "sim/sim_options.h"

namespace vantor::sim {

// One thing that happened on the line, in time order.
struct LineEvent {
    enum class Kind {
        HostByte,     // a byte went out on the line from the host to the drive
        DriveByte,    // a byte went out on the line from the drive to the host
        HostBreak,    // the host's transmit line was in break from at_ns to end_ns
        DriveBreak,   // the drive's transmit line was in break from at_ns to end_ns
        HostPurgeTx,  // the host dropped `value` bytes that had not gone out yet
        HostPurgeRx,  // the host dropped `value` received bytes
    };
    Kind kind;
    std::int64_t at_ns;
    std::int64_t end_ns;  // breaks: when the break ended (-1 while it lasts); else at_ns
    int value;            // the byte, or a count
};

enum class DriveMode { CommandMode, BootLoader };

class SimWorld {
  public:
    explicit SimWorld(SimOptions options);
    ~SimWorld();
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    const SimOptions& options() const;

    // The records below keep their newest entries only (about a million bytes each way, 2^18
    // events, 1024 packets), so that a world that runs for ever stays bounded.
    //
    // Everything that went over the line so far, in time order (advances to now first).
    std::vector<LineEvent> Traffic();
    // The bytes that went out on the line from the host, in order, as sent (before noise).
    // A byte counts once it has begun; a write returns with up to kTransmitFifoBytes still in
    // the transmitter, so let a few character times pass before comparing.
    std::vector<std::uint8_t> HostBytes();
    // The bytes that went out on the line from the drive, in order, as sent (before noise).
    std::vector<std::uint8_t> DriveBytes();
    // Every packet the drive accepted (checked and acknowledged), each as its bytes from the
    // BOP word to the checksum word, in order of acceptance; a resent packet appears again.
    std::vector<std::vector<std::uint8_t>> AcceptedPackets();
    // How many reset frames the drive received.
    int ResetCount();
    // The mode of the drive at `address` (or of the first drive for -1); an address where
    // no drive is counts as command mode.
    DriveMode Mode(int address = -1);

    // From now on, every byte and break edge on the line and every purge of the host's
    // buffers is also recorded in `transcript`, with its time.
    void Attach(std::shared_ptr<LineTranscript> transcript);

    // Brings the world up to `now_ns`: everything due by then happens, in time order. The
    // world's time starts at its first call and never goes back; an earlier `now_ns` is a
    // no-op. SimulatedLine calls it with the process clock's now before every operation.
    void AdvanceTo(std::int64_t now_ns);

  private:
    struct State;
    std::unique_ptr<State> state_;
    friend class SimulatedLine;
};

}  // namespace vantor::sim
