// The inside of a SimWorld: the two directions of the line, the host's receive side, the
// drives and the timers that carry their answers out. Private to sim/.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <queue>
#include <utility>
#include <vector>

#include "platform/serial/serial_device.h"
#include "sim/seeded_random.h"
#include "sim/sim_drive.h"
#include "sim/sim_world.h"

namespace vantor::sim {

inline constexpr std::int64_t kNeverNs = std::numeric_limits<std::int64_t>::max();

// What the world records is kept as its newest entries only, so that a world that runs for ever
// (the network server's, whatever a client sends) stays bounded. A test's download fits many
// times over.
inline constexpr std::size_t kRecordedEvents = std::size_t{1} << 18;
inline constexpr std::size_t kRecordedBytes = std::size_t{1} << 20;
inline constexpr std::size_t kRecordedPackets = 1024;

// A record that keeps its newest `capacity` entries; each entry keeps the number it was given
// when recorded, counted from the first.
template <typename T>
class Ring {
  public:
    explicit Ring(std::size_t capacity) : capacity_(capacity) {}
    std::size_t Push(T entry) {
        if (entries_.size() == capacity_) {
            entries_.pop_front();
            ++dropped_;
        }
        entries_.push_back(std::move(entry));
        return dropped_ + entries_.size() - 1;
    }
    // The entry of that number, or nullptr once it has made way for newer ones.
    T* Find(std::size_t number) {
        return number >= dropped_ && number - dropped_ < entries_.size()
                   ? &entries_[number - dropped_]
                   : nullptr;
    }
    std::vector<T> Copy() const { return {entries_.begin(), entries_.end()}; }

  private:
    std::size_t capacity_;
    std::size_t dropped_ = 0;
    std::deque<T> entries_;
};

// One direction of the line: bytes go out one after another at the line rate, none begins
// while the line is held in break, and a byte once begun always finishes.
struct Transmitter {
    struct Waiting {
        std::int64_t ready_ns;
        std::uint8_t byte;
    };
    std::deque<Waiting> waiting;
    bool busy = false;
    std::uint8_t byte = 0;
    std::int64_t end_ns = 0;
    std::int64_t free_ns = 0;  // no byte begins before this
    bool in_break = false;
    std::size_t break_event = 0;  // the number of the LineEvent of the break in progress

    std::int64_t NextStartNs() const;
    // When this direction next changes: a byte ends or the next one begins.
    std::int64_t NextEventNs() const { return busy ? end_ns : NextStartNs(); }
    std::uint8_t Begin(std::int64_t char_ns);
    std::uint8_t Finish();
};

// Corrupts or drops bytes at a fixed share, drawn from a seeded generator so that the same
// traffic meets the same faults on every run.
class LineNoise {
  public:
    LineNoise(double share, std::uint64_t seed, double duplicate_share = 0.0)
        : share_(share), duplicate_share_(duplicate_share), random_(seed) {}
    // False when the byte is lost; otherwise `byte` is what arrives.
    bool Pass(std::uint8_t& byte);
    // True when a byte that arrived arrives a second time. Draws nothing without duplicates,
    // so a seed's noise stays the same whether or not they are asked for.
    bool Twice() { return duplicate_share_ > 0.0 && random_.Uniform() < duplicate_share_; }

  private:
    double share_;
    double duplicate_share_;
    SeededRandom random_;
};

struct Timer {
    std::int64_t at_ns;
    std::uint64_t sequence;  // keeps timers of the same moment in the order they were set
    std::function<void()> action;
};

struct TimerIsLater {
    bool operator()(const Timer& a, const Timer& b) const {
        return a.at_ns != b.at_ns ? a.at_ns > b.at_ns : a.sequence > b.sequence;
    }
};

struct SimWorld::State final : DrivePort {
    explicit State(SimOptions world_options);

    // The host's side of the line; the caller holds `mutex` and has advanced the world.
    void HostOpen();
    void HostWrite(const std::uint8_t* bytes, std::size_t count);
    std::size_t HostRead(std::uint8_t* buffer, std::size_t max);
    // How long a write must still wait until the transmitter holds all that is unsent.
    std::int64_t HostWriteWaitNs() const;
    void HostPurge(std::uint32_t flags);
    void HostSetBreak();
    void HostClearBreak();
    std::uint32_t HostClearError();
    void HostSetSettings(const platform::LineSettings& line_settings);
    void HostSetQueueSize(std::uint32_t rx_bytes) { rx_capacity = rx_bytes; }

    void Advance(std::int64_t to_ns);
    // The adapter has gone away (unplug-at): every call on the device fails.
    bool Unplugged() const {
        return options.unplug_at_ms >= 0 &&
               now_ns - start_ns >= static_cast<std::int64_t>(options.unplug_at_ms) * 1'000'000;
    }

    // DrivePort.
    void Schedule(std::int64_t at_ns, std::function<void()> action) override;
    void Transmit(const std::vector<std::uint8_t>& bytes) override;
    void SendBreak(std::int64_t length_ns) override;
    void AcceptPacket(const std::vector<std::uint8_t>& packet) override;
    void CountReset() override { ++reset_count; }

    std::mutex mutex;
    SimOptions options;
    bool started = false;  // the world's time starts at the first call
    std::int64_t start_ns = 0;
    std::int64_t now_ns = 0;

    platform::LineSettings settings;
    std::int64_t char_ns = 0;
    Transmitter host_tx;
    Transmitter drive_tx;
    std::int64_t host_break_start_ns = 0;
    std::uint64_t drive_break_generation = 0;
    std::priority_queue<Timer, std::vector<Timer>, TimerIsLater> timers;
    std::uint64_t timer_sequence = 0;

    std::vector<std::uint8_t> fifo;
    std::int64_t fifo_deadline_ns = kNeverNs;
    std::deque<std::uint8_t> rx_queue;
    std::size_t rx_capacity = 2048;
    std::uint32_t errors = 0;
    bool break_seen = false;  // the drive's line was in break since the last report

    LineNoise noise;
    std::shared_ptr<LineTranscript> transcript;  // attached by a test; may be null
    Ring<LineEvent> events{kRecordedEvents};
    Ring<std::uint8_t> host_bytes{kRecordedBytes};
    Ring<std::uint8_t> drive_bytes{kRecordedBytes};
    Ring<std::vector<std::uint8_t>> accepted{kRecordedPackets};
    int reset_count = 0;
    std::vector<std::unique_ptr<SimDrive>> drives;

  private:
    std::size_t HostTransmitterBytes() const;
    std::int64_t NextEventNs() const;
    void RunEvent(std::int64_t at_ns);
    void StartByte(Transmitter& line, LineEvent::Kind kind, Ring<std::uint8_t>& record);
    void FinishHostByte();
    void FinishDriveByte();
    void ReceiveDriveByte(std::uint8_t byte);
    void Note(LineTranscript::Edge edge, int value) {
        if (transcript) {
            transcript->Record(edge, now_ns, value);
        }
    }
    void FlushFifo();
    void EndDriveBreak(std::uint64_t generation);
    // Gives the break event of `line` its end, unless it has made way for newer events.
    void EndBreakEvent(Transmitter& line);
};

}  // namespace vantor::sim
