// A timed transcript of the line: every byte and break edge in either direction and every purge
// of the host's buffers, each with its time. A test attaches one to a world (SimWorld::Attach)
// and compares its text, event by event and times included, with a transcript kept in the tree,
// so that every wait of the dialogue is pinned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::sim {

class LineTranscript {
  public:
    enum class Edge {
        HostByte,       // a byte began on the line from the host; value: the byte
        DriveByte,      // a byte began on the line from the drive; value: the byte
        HostBreakOn,    // the host's line went into break
        HostBreakOff,   // the host's line came out of break
        DriveBreakOn,   // the drive's line went into break
        DriveBreakOff,  // the drive's line came out of break
        HostPurgeTx,    // the host dropped `value` bytes that had not gone out
        HostPurgeRx,    // the host dropped `value` received bytes
    };

    // Keeps at most `max_events`; later events are counted, not kept.
    explicit LineTranscript(std::size_t max_events = 1'000'000) : max_events_(max_events) {}

    // Called by the world, under its lock, in time order.
    void Record(Edge edge, std::int64_t at_ns, int value);

    // One line per event, times in milliseconds since `origin_ns` to the nanosecond:
    //   "  1050.520833 host  50 'P'", "  1150.520833 host  break off",
    //   "  1402.000000 drive 4E 'N'", "  1700.000000 host  purge rx 2".
    // Read it once the world is quiet (the job has ended).
    std::vector<std::string> Lines(std::int64_t origin_ns) const;
    // Events that came after the transcript was full.
    std::size_t Dropped() const { return dropped_; }

  private:
    struct Event {
        Edge edge;
        std::int64_t at_ns;
        int value;
    };
    std::size_t max_events_;
    std::vector<Event> events_;
    std::size_t dropped_ = 0;
};

}  // namespace vantor::sim
