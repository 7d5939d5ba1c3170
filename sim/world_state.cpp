// The simulated world's inside: the two directions of the line, the host's receive side, the
// drives' side and the events that move time on.
#include "sim/world_state.h"

#include <algorithm>
#include <utility>

#include "platform/invariant.h"

namespace vantor::sim {

namespace {

// A byte on the line is a start bit, 8 data bits and a stop bit.
constexpr std::int64_t kNsPerTenBits = 10'000'000'000;

std::int64_t CharNs(std::uint32_t baud_rate) {
    return kNsPerTenBits / std::max<std::uint32_t>(baud_rate, 1);
}

// Values that make no sense on a line (options built in code skip the parser's checks) are
// taken at their nearest sensible value: a negative break length must not become an endless
// break, nor a NaN noise share a line that loses every byte.
SimOptions Sanitised(SimOptions options) {
    for (int* at_least_zero :
         {&options.break_delay_ms, &options.break_length_ms, &options.init_reply_length,
          &options.stray_bytes, &options.init_delay_ms, &options.ack_delay_ms, &options.process_ms,
          &options.prompt_length}) {
        *at_least_zero = std::max(*at_least_zero, 0);
    }
    options.fifo_trigger = std::max(options.fifo_trigger, 1);
    options.fifo_timeout_chars = std::max(options.fifo_timeout_chars, 1);
    options.ack_on_send = std::max(options.ack_on_send, 1);
    options.noise = options.noise > 0.0 ? std::min(options.noise, 1.0) : 0.0;
    options.duplicate = options.duplicate > 0.0 ? std::min(options.duplicate, 1.0) : 0.0;
    return options;
}

}  // namespace

// ---- Transmitter ----

std::int64_t Transmitter::NextStartNs() const {
    if (busy || in_break || waiting.empty()) {
        return kNeverNs;
    }
    return std::max(waiting.front().ready_ns, free_ns);
}

std::uint8_t Transmitter::Begin(std::int64_t char_ns) {
    // A byte begins only on a free line with one waiting; else the world's next event is wrong.
    VANTOR_ASSERT(!busy && !in_break && !waiting.empty());
    const std::int64_t start_ns = NextStartNs();
    byte = waiting.front().byte;
    waiting.pop_front();
    busy = true;
    end_ns = start_ns + char_ns;
    return byte;
}

std::uint8_t Transmitter::Finish() {
    VANTOR_ASSERT(busy);
    busy = false;
    free_ns = end_ns;
    return byte;
}

// ---- LineNoise ----

// SplitMix64: small, fast and the same on every platform.
bool LineNoise::Pass(std::uint8_t& byte) {
    if (share_ <= 0.0 || random_.Uniform() >= share_) {
        return true;
    }
    if (random_.Uniform() < 0.5) {
        return false;
    }
    byte = static_cast<std::uint8_t>(byte ^ (1 + random_.Next() % 255));
    return true;
}

// ---- State: time ----

SimWorld::State::State(SimOptions world_options)
    : options(Sanitised(std::move(world_options))),
      char_ns(CharNs(settings.BaudRate)),
      noise(options.noise, options.seed, options.duplicate) {
    if (options.addresses.empty()) {
        drives.push_back(std::make_unique<SimDrive>(options, -1, *this));
    }
    for (int address : options.addresses) {
        drives.push_back(std::make_unique<SimDrive>(options, address, *this));
    }
}

// Work is done per event (a byte begins or ends, a timer fires, the FIFO times out), never
// per unit of time, so polling a quiet line costs next to nothing.
void SimWorld::State::Advance(std::int64_t to_ns) {
    if (!started) {
        started = true;
        start_ns = to_ns;
        now_ns = to_ns;
    }
    for (std::int64_t next_ns = NextEventNs(); next_ns <= to_ns; next_ns = NextEventNs()) {
        now_ns = std::max(now_ns, next_ns);
        RunEvent(next_ns);
    }
    now_ns = std::max(now_ns, to_ns);
}

std::int64_t SimWorld::State::NextEventNs() const {
    std::int64_t next_ns =
        std::min({host_tx.NextEventNs(), drive_tx.NextEventNs(), fifo_deadline_ns});
    if (!timers.empty()) {
        next_ns = std::min(next_ns, timers.top().at_ns);
    }
    return next_ns;
}

void SimWorld::State::RunEvent(std::int64_t at_ns) {
    if (host_tx.NextEventNs() == at_ns) {
        if (host_tx.busy) {
            FinishHostByte();
        } else {
            StartByte(host_tx, LineEvent::Kind::HostByte, host_bytes);
        }
    } else if (drive_tx.NextEventNs() == at_ns) {
        if (drive_tx.busy) {
            FinishDriveByte();
        } else {
            StartByte(drive_tx, LineEvent::Kind::DriveByte, drive_bytes);
        }
    } else if (fifo_deadline_ns == at_ns) {
        FlushFifo();
    } else {
        // Moved out before it runs: the action may set new timers.
        VANTOR_ASSERT(!timers.empty());
        Timer timer = timers.top();
        timers.pop();
        timer.action();
    }
}

// ---- State: the bytes on the line ----

void SimWorld::State::StartByte(Transmitter& line, LineEvent::Kind kind,
                                Ring<std::uint8_t>& record) {
    const std::uint8_t byte = line.Begin(char_ns);
    events.Push({kind, now_ns, now_ns, byte});
    Note(kind == LineEvent::Kind::HostByte ? LineTranscript::Edge::HostByte
                                           : LineTranscript::Edge::DriveByte,
         byte);
    record.Push(byte);
}

void SimWorld::State::FinishHostByte() {
    std::uint8_t byte = host_tx.Finish();
    if (!noise.Pass(byte)) {
        return;
    }
    const int copies = noise.Twice() ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
        for (auto& drive : drives) {
            drive->ReceiveByte(byte, now_ns);
        }
    }
}

// The host's UART gathers bytes in its FIFO and hands them on in bursts.
void SimWorld::State::FinishDriveByte() {
    std::uint8_t byte = drive_tx.Finish();
    if (!noise.Pass(byte)) {
        return;
    }
    ReceiveDriveByte(byte);
    if (noise.Twice()) {
        ReceiveDriveByte(byte);
    }
}

void SimWorld::State::ReceiveDriveByte(std::uint8_t byte) {
    fifo.push_back(byte);
    if (static_cast<int>(fifo.size()) >= options.fifo_trigger) {
        FlushFifo();
    } else {
        fifo_deadline_ns = now_ns + options.fifo_timeout_chars * char_ns;
    }
}

void SimWorld::State::FlushFifo() {
    for (std::uint8_t byte : fifo) {
        if (rx_queue.size() < rx_capacity) {
            rx_queue.push_back(byte);
        } else {
            errors |= platform::kLineErrorRxOverflow;
        }
    }
    fifo.clear();
    fifo_deadline_ns = kNeverNs;
}

// ---- State: the drives' side ----

void SimWorld::State::Schedule(std::int64_t at_ns, std::function<void()> action) {
    timers.push({std::max(at_ns, now_ns), timer_sequence++, std::move(action)});
}

void SimWorld::State::Transmit(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t byte : bytes) {
        drive_tx.waiting.push_back({now_ns, byte});
    }
}

void SimWorld::State::SendBreak(std::int64_t length_ns) {
    if (drive_tx.in_break) {
        EndBreakEvent(drive_tx);
        Note(LineTranscript::Edge::DriveBreakOff, 0);
    }
    drive_tx.in_break = true;
    Note(LineTranscript::Edge::DriveBreakOn, 0);
    drive_tx.break_event = events.Push({LineEvent::Kind::DriveBreak, now_ns, -1, 0});
    break_seen = true;
    const std::uint64_t generation = ++drive_break_generation;
    if (length_ns >= 0) {
        Schedule(now_ns + length_ns, [this, generation] { EndDriveBreak(generation); });
    }
}

void SimWorld::State::EndBreakEvent(Transmitter& line) {
    if (LineEvent* event = events.Find(line.break_event)) {
        event->end_ns = now_ns;
    }
}

void SimWorld::State::EndDriveBreak(std::uint64_t generation) {
    // A later break on the drive's line has taken over from this one.
    if (generation != drive_break_generation || !drive_tx.in_break) {
        return;
    }
    drive_tx.in_break = false;
    drive_tx.free_ns = std::max(drive_tx.free_ns, now_ns);
    EndBreakEvent(drive_tx);
    Note(LineTranscript::Edge::DriveBreakOff, 0);
}

void SimWorld::State::AcceptPacket(const std::vector<std::uint8_t>& packet) {
    accepted.Push(packet);
}

// ---- State: the host's side ----

void SimWorld::State::HostOpen() {
    rx_queue.clear();
    fifo.clear();
    fifo_deadline_ns = kNeverNs;
    errors = 0;
    break_seen = drive_tx.in_break;
}

void SimWorld::State::HostWrite(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        host_tx.waiting.push_back({now_ns, bytes[i]});
    }
}

std::size_t SimWorld::State::HostRead(std::uint8_t* buffer, std::size_t max) {
    const std::size_t got = std::min(max, rx_queue.size());
    std::copy_n(rx_queue.begin(), got, buffer);
    rx_queue.erase(rx_queue.begin(), rx_queue.begin() + static_cast<std::ptrdiff_t>(got));
    return got;
}

// The transmitter (its shift register and FIFO) holds kTransmitFifoBytes bytes; what is
// behind them waits in the driver's queue.
std::size_t SimWorld::State::HostTransmitterBytes() const {
    return std::min(host_tx.waiting.size() + (host_tx.busy ? 1 : 0), platform::kTransmitFifoBytes);
}

std::int64_t SimWorld::State::HostWriteWaitNs() const {
    const std::size_t pending = host_tx.waiting.size() + (host_tx.busy ? 1 : 0);
    // Nothing goes out while the host holds its line in break; a write then returns at once
    // rather than hang.
    if (pending <= platform::kTransmitFifoBytes || host_tx.in_break) {
        return 0;
    }
    // Like a UART driver that refills its FIFO when it has run half empty, a write that must
    // wait waits for half a FIFO: the host's byte-by-byte writes then sleep once per eight
    // bytes rather than once per byte.
    const auto excess = static_cast<std::int64_t>(pending - platform::kTransmitFifoBytes / 2);
    const std::int64_t first_end_ns =
        host_tx.busy ? host_tx.end_ns : host_tx.NextStartNs() + char_ns;
    return std::max<std::int64_t>(first_end_ns + (excess - 1) * char_ns - now_ns, 1);
}

void SimWorld::State::HostPurge(std::uint32_t flags) {
    if ((flags & platform::kPurgeTxClear) != 0) {
        // What the transmitter holds goes out all the same; only the driver's queue is dropped.
        const std::size_t kept = HostTransmitterBytes() - (host_tx.busy ? 1 : 0);
        const int dropped = static_cast<int>(host_tx.waiting.size() - kept);
        host_tx.waiting.resize(kept);
        events.Push({LineEvent::Kind::HostPurgeTx, now_ns, now_ns, dropped});
        Note(LineTranscript::Edge::HostPurgeTx, dropped);
    }
    if ((flags & platform::kPurgeRxClear) != 0) {
        const int dropped = static_cast<int>(rx_queue.size() + fifo.size());
        rx_queue.clear();
        fifo.clear();
        fifo_deadline_ns = kNeverNs;
        events.Push({LineEvent::Kind::HostPurgeRx, now_ns, now_ns, dropped});
        Note(LineTranscript::Edge::HostPurgeRx, dropped);
    }
}

void SimWorld::State::HostSetBreak() {
    if (host_tx.in_break) {
        return;
    }
    host_tx.in_break = true;
    host_break_start_ns = now_ns;
    host_tx.break_event = events.Push({LineEvent::Kind::HostBreak, now_ns, -1, 0});
    Note(LineTranscript::Edge::HostBreakOn, 0);
}

void SimWorld::State::HostClearBreak() {
    if (!host_tx.in_break) {
        return;
    }
    host_tx.in_break = false;
    host_tx.free_ns = std::max(host_tx.free_ns, now_ns);
    EndBreakEvent(host_tx);
    Note(LineTranscript::Edge::HostBreakOff, 0);
    // Shorter than a character, the drive's UART cannot tell it from a zero byte's start.
    if (now_ns - host_break_start_ns < char_ns) {
        return;
    }
    for (auto& drive : drives) {
        drive->ReceiveBreak(now_ns);
    }
}

// The break flag covers the time since the previous report: a break that began and ended in
// between is reported once, and a break that lasts is reported at every report.
std::uint32_t SimWorld::State::HostClearError() {
    std::uint32_t reported = errors;
    if (break_seen) {
        reported |= platform::kLineBreakFlag;
    }
    errors = 0;
    break_seen = drive_tx.in_break;
    return reported;
}

void SimWorld::State::HostSetSettings(const platform::LineSettings& line_settings) {
    settings = line_settings;
    char_ns = CharNs(settings.BaudRate);
}

}  // namespace vantor::sim
