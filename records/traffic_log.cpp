#include "records/traffic_log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

#include "platform/clock.h"
#include "platform/serial/device_address.h"
#include "platform/serial/serial_device.h"
#include "platform/stop_handlers.h"
#include "records/log_file.h"

namespace vantor::records {

namespace {

using Kind = LineRecord::Kind;

// The writer wakes at least this often, and at once when this many records wait. At every wake
// it hands what it has formatted to the file, so that a record is in the file (and survives the
// program being killed) at most two periods after it came; a line of bytes still open is
// written at the first wake with nothing new.
constexpr auto kWriterPeriod = std::chrono::milliseconds(40);
constexpr std::size_t kWakeRecords = 8192;
// What the port's calls may leave waiting for the writer; records beyond it are dropped (and
// counted in the log) rather than let a writer that cannot keep up take all the memory.
constexpr std::size_t kMostPendingRecords = 1 << 20;
constexpr std::size_t kBytesPerLine = 16;
// Bytes of one direction go on one line while they come within this time of the first.
constexpr std::int64_t kGroupNs = 1'000'000;

bool IsByte(Kind kind) {
    return kind == Kind::TxByte || kind == Kind::RxByte;
}

const char* EventText(Kind kind) {
    switch (kind) {
        case Kind::TxBreakOn:
            return "TX break on";
        case Kind::TxBreakOff:
            return "TX break off";
        case Kind::RxBreak:
            return "RX break";
        case Kind::RxBreakEnd:
            return "RX break ended";
        case Kind::TxPurge:
            return "TX purge (unsent bytes dropped)";
        case Kind::RxPurge:
            return "RX purge (unread bytes dropped)";
        case Kind::Opened:
            return "-- port opened";
        case Kind::Closed:
            return "-- port closed";
        case Kind::TxByte:
        case Kind::RxByte:
            break;
    }
    return "";
}

// The port's far end as the operator's second Ctrl-C leaves it: gone for the job.
constexpr char kAbandonedText[] = "Interrupted twice: the line was abandoned";

std::atomic<TrafficLog*> g_log{nullptr};
std::atomic<std::uint64_t> g_bytes_sent{0};

// The tap: passes every call through and notes what crossed the line. With a log, every
// call first takes what the device has received into the tap's own queue and logs it there
// and then, so that a byte is logged when it reaches the device (as soon as the host looks at
// the line, which it does every millisecond while it waits), also when it is purged later or
// never read: probe answers, stray bytes and the data a resynchronisation drops.
class TappedDevice final : public platform::SerialDevice {
  public:
    explicit TappedDevice(std::unique_ptr<platform::SerialDevice> inner)
        : inner_(std::move(inner)), log_(g_log.load()) {
        Note(Kind::Opened);
    }

    bool GetSettings(platform::LineSettings& s) override { return inner_->GetSettings(s); }
    bool SetSettings(const platform::LineSettings& s) override { return inner_->SetSettings(s); }
    bool SetQueueSizes(std::uint32_t rx, std::uint32_t tx) override {
        rx_limit_ = std::max<std::size_t>(rx, kMinTapQueueBytes);
        return inner_->SetQueueSizes(rx, tx);
    }
    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        if (log_ == nullptr) {
            return inner_->Read(buffer, max, got);
        }
        const bool usable = TakeReceived();
        got = std::min(max, received_.size());
        std::copy_n(received_.begin(), got, buffer);
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(got));
        return usable || got > 0;
    }
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override {
        if (platform::LineAbandoned()) {
            written = 0;
            return false;
        }
        const bool done = inner_->Write(bytes, count, written);
        g_bytes_sent.fetch_add(written, std::memory_order_relaxed);
        if (log_ != nullptr && written > 0) {
            log_->Record(Kind::TxByte, bytes, written);
        }
        return done;
    }
    // The break flag is reported at every look while the drive's break lasts: only its
    // beginning and its end are logged.
    bool ClearError(std::uint32_t& errors, std::uint32_t& waiting) override {
        bool done = false;
        if (log_ == nullptr) {
            done = inner_->ClearError(errors, waiting);
        } else {
            done = TakeReceived();
            errors = held_errors_;
            held_errors_ = 0;
            waiting = static_cast<std::uint32_t>(received_.size() + inner_waiting_);
        }
        const bool in_break = done && (errors & platform::kLineBreakFlag) != 0;
        if (in_break != rx_break_) {
            rx_break_ = in_break;
            Note(in_break ? Kind::RxBreak : Kind::RxBreakEnd);
        }
        return done;
    }
    bool Purge(std::uint32_t flags) override {
        if ((flags & platform::kPurgeTxClear) != 0) {
            Note(Kind::TxPurge);
        }
        if ((flags & platform::kPurgeRxClear) != 0) {
            if (log_ != nullptr) {
                TakeReceived();  // what the purge drops is logged before it goes
                received_.clear();
            }
            Note(Kind::RxPurge);
        }
        return inner_->Purge(flags);
    }
    bool SetBreak() override {
        if (platform::LineAbandoned()) {
            return false;
        }
        Note(Kind::TxBreakOn);
        return inner_->SetBreak();
    }
    bool ClearBreak() override {
        Note(Kind::TxBreakOff);
        return inner_->ClearBreak();
    }
    bool Close() override {
        if (log_ != nullptr) {
            TakeReceived();
        }
        Note(Kind::Closed);
        return inner_->Close();
    }
    // After a second interruption the line counts as lost, so that every wait ends at once.
    platform::DeviceCondition Condition() const override {
        platform::DeviceCondition condition = inner_->Condition();
        if (condition.lost == nullptr && platform::LineAbandoned()) {
            condition.lost = kAbandonedText;
        }
        return condition;
    }
    std::uint64_t SendFence() override { return inner_->SendFence(); }
    bool FenceAnswered(std::uint64_t number) override { return inner_->FenceAnswered(number); }
    // What the device takes in while the host waits is logged at the host's next look. A wait
    // ends at least every kAbandonLookMs, so that an abandoned line ends it soon.
    bool AwaitsInput() const override { return inner_->AwaitsInput(); }
    void AwaitInput(int ms) override { inner_->AwaitInput(std::min(ms, kAbandonLookMs)); }

  private:
    // The tap's queue holds at least this much, whatever queue size the port asked for.
    static constexpr std::size_t kMinTapQueueBytes = 2048;
    static constexpr int kAbandonLookMs = 50;

    void Note(Kind kind) {
        if (log_ != nullptr) {
            log_->Record(kind);
        }
    }

    // Moves what the device has received into the tap's queue, up to its limit, and logs
    // it; keeps the device's error word for the host's next ClearError. False once the
    // device is closed or gone.
    bool TakeReceived() {
        std::uint32_t errors = 0;
        std::uint32_t waiting = 0;
        if (!inner_->ClearError(errors, waiting)) {
            inner_waiting_ = 0;
            return false;
        }
        held_errors_ |= errors;
        std::size_t room = rx_limit_ > received_.size() ? rx_limit_ - received_.size() : 0;
        std::size_t left = waiting;
        std::uint8_t chunk[256];
        while (left > 0 && room > 0) {
            std::size_t got = 0;
            if (!inner_->Read(chunk, std::min({left, room, sizeof chunk}), got) || got == 0) {
                break;
            }
            log_->Record(Kind::RxByte, chunk, got);
            received_.insert(received_.end(), chunk, chunk + got);
            left -= std::min(left, got);
            room -= got;
        }
        inner_waiting_ = left;
        return true;
    }

    std::unique_ptr<platform::SerialDevice> inner_;
    TrafficLog* log_;
    bool rx_break_ = false;
    std::deque<std::uint8_t> received_;
    std::size_t rx_limit_ = kMinTapQueueBytes;
    std::size_t inner_waiting_ = 0;  // bytes the device still holds beyond the tap's room
    std::uint32_t held_errors_ = 0;
};

std::unique_ptr<platform::SerialDevice> WrapDevice(std::unique_ptr<platform::SerialDevice> device) {
    return std::make_unique<TappedDevice>(std::move(device));
}

}  // namespace

Result<std::unique_ptr<TrafficLog>> TrafficLog::Create(const std::string& path) {
    const auto file = OpenLogFile(path);
    if (!file) {
        return Failure{file.reason()};
    }
    return std::unique_ptr<TrafficLog>(new TrafficLog(*file, platform::NowNs()));
}

TrafficLog::TrafficLog(std::FILE* file, std::int64_t origin_ns)
    : file_(file), origin_ns_(origin_ns) {
    pending_.reserve(kWakeRecords * 2);
    WriteText(
        "# vantor-cli traffic log: milliseconds since the log began, direction (TX host to "
        "drive, RX drive to host), bytes in hex, |printable text|\n");
    writer_ = std::thread([this] { WriterLoop(); });
}

TrafficLog::~TrafficLog() {
    Close();
}

bool TrafficLog::Close() {
    if (closed_) {
        return !write_failed_;
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    writer_.join();
    if (std::fclose(file_) != 0) {
        write_failed_ = true;
    }
    closed_ = true;
    return !write_failed_;
}

void TrafficLog::Record(Kind kind, const std::uint8_t* bytes, std::size_t count) {
    const std::int64_t now_ns = platform::NowNs();
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (stop_) {
            return;
        }
        if (pending_.size() + std::max<std::size_t>(count, 1) > kMostPendingRecords) {
            dropped_ += std::max<std::size_t>(count, 1);
            return;
        }
        if (bytes == nullptr) {
            pending_.push_back({now_ns, kind, 0});
        }
        for (std::size_t i = 0; bytes != nullptr && i < count; ++i) {
            pending_.push_back({now_ns, kind, bytes[i]});
        }
        wake = pending_.size() >= kWakeRecords;
    }
    if (wake) {
        wake_.notify_one();
    }
}

void TrafficLog::WriterLoop() {
    std::vector<LineRecord> batch;
    batch.reserve(kWakeRecords * 2);
    for (bool stopping = false; !stopping;) {
        std::size_t dropped = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kWriterPeriod,
                           [this] { return stop_ || pending_.size() >= kWakeRecords; });
            batch.swap(pending_);
            stopping = stop_;
            std::swap(dropped, dropped_);
        }
        WriteBatch(batch);
        if (batch.empty() || stopping) {
            WriteGroup();  // the line has gone quiet: the bytes of the open line are all there are
        }
        if (dropped > 0) {
            WriteText("-- " + std::to_string(dropped) +
                      " records dropped: the log could not keep up with the line\n");
        }
        batch.clear();
        WriteOut();
    }
}

// Hands the formatted text to the file: a program killed after this loses none of it.
void TrafficLog::WriteOut() {
    if (chunk_.empty()) {
        return;
    }
    if (std::fwrite(chunk_.data(), 1, chunk_.size(), file_) != chunk_.size() ||
        std::fflush(file_) != 0) {
        write_failed_ = true;
    }
    chunk_.clear();
}

void TrafficLog::WriteBatch(const std::vector<LineRecord>& batch) {
    for (const LineRecord& record : batch) {
        const bool joins = !group_.empty() && record.kind == group_.front().kind &&
                           group_.size() < kBytesPerLine &&
                           record.at_ns - group_.front().at_ns < kGroupNs;
        if (!joins) {
            WriteGroup();
        }
        if (IsByte(record.kind)) {
            group_.push_back(record);
            continue;
        }
        char line[96];
        std::snprintf(line, sizeof line, "%12.3f %s\n",
                      static_cast<double>(record.at_ns - origin_ns_) / 1e6, EventText(record.kind));
        WriteText(line);
    }
}

void TrafficLog::WriteGroup() {
    if (group_.empty()) {
        return;
    }
    char line[160];
    int used = std::snprintf(line, sizeof line, "%12.3f %s ",
                             static_cast<double>(group_.front().at_ns - origin_ns_) / 1e6,
                             group_.front().kind == Kind::TxByte ? "TX" : "RX");
    for (std::size_t i = 0; i < kBytesPerLine; ++i) {
        used += i < group_.size()
                    ? std::snprintf(line + used, sizeof line - used, " %02X", group_[i].byte)
                    : std::snprintf(line + used, sizeof line - used, "   ");
    }
    used += std::snprintf(line + used, sizeof line - used, "  |");
    for (const LineRecord& record : group_) {
        const bool printable = record.byte >= 0x20 && record.byte < 0x7F;
        line[used++] = printable ? static_cast<char>(record.byte) : '.';
    }
    std::snprintf(line + used, sizeof line - used, "|\n");
    WriteText(line);
    group_.clear();
}

// Gathers text for the next WriteOut.
void TrafficLog::WriteText(const std::string& text) {
    chunk_ += text;
}

void InstallLineTap(TrafficLog* log) {
    g_log.store(log);
    platform::SetDeviceWrapper(&WrapDevice);
}

const std::atomic<std::uint64_t>& BytesSent() {
    return g_bytes_sent;
}

}  // namespace vantor::records
