#include "cli/traffic_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "cli/log_file.h"
#include "platform/clock.h"
#include "platform/serial/device_address.h"
#include "platform/serial/serial_device.h"

namespace vantor::cli {

namespace {

using Kind = LineRecord::Kind;

// The writer wakes at least this often, and at once when this many records wait.
constexpr auto kWriterPeriod = std::chrono::milliseconds(250);
constexpr std::size_t kWakeRecords = 8192;
constexpr std::size_t kChunkBytes = 64 * 1024;
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

std::atomic<TrafficLog*> g_log{nullptr};
std::atomic<std::uint64_t> g_bytes_sent{0};

// The tap: passes every call through and notes what crossed the line.
class TappedDevice final : public platform::SerialDevice {
  public:
    explicit TappedDevice(std::unique_ptr<platform::SerialDevice> inner)
        : inner_(std::move(inner)), log_(g_log.load()) {
        Note(Kind::Opened);
    }

    bool GetSettings(platform::LineSettings& s) override { return inner_->GetSettings(s); }
    bool SetSettings(const platform::LineSettings& s) override { return inner_->SetSettings(s); }
    bool SetQueueSizes(std::uint32_t rx, std::uint32_t tx) override {
        return inner_->SetQueueSizes(rx, tx);
    }
    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) override {
        const bool done = inner_->Read(buffer, max, got);
        if (log_ != nullptr && got > 0) {
            log_->Record(Kind::RxByte, buffer, got);
        }
        return done;
    }
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override {
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
        const bool done = inner_->ClearError(errors, waiting);
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
            Note(Kind::RxPurge);
        }
        return inner_->Purge(flags);
    }
    bool SetBreak() override {
        Note(Kind::TxBreakOn);
        return inner_->SetBreak();
    }
    bool ClearBreak() override {
        Note(Kind::TxBreakOff);
        return inner_->ClearBreak();
    }
    bool Close() override {
        Note(Kind::Closed);
        return inner_->Close();
    }
    platform::DeviceCondition Condition() const override { return inner_->Condition(); }

  private:
    void Note(Kind kind) {
        if (log_ != nullptr) {
            log_->Record(kind);
        }
    }

    std::unique_ptr<platform::SerialDevice> inner_;
    TrafficLog* log_;
    bool rx_break_ = false;
};

std::unique_ptr<platform::SerialDevice> WrapDevice(std::unique_ptr<platform::SerialDevice> device) {
    return std::make_unique<TappedDevice>(std::move(device));
}

}  // namespace

std::unique_ptr<TrafficLog> TrafficLog::Create(const std::string& path, std::string* error) {
    std::FILE* file = OpenLogFile(path, error);
    if (file == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<TrafficLog>(new TrafficLog(file, platform::NowNs()));
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
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kWriterPeriod,
                           [this] { return stop_ || pending_.size() >= kWakeRecords; });
            batch.swap(pending_);
            stopping = stop_;
        }
        WriteBatch(batch);
        batch.clear();
    }
    WriteGroup();
    if (!chunk_.empty() && std::fwrite(chunk_.data(), 1, chunk_.size(), file_) != chunk_.size()) {
        write_failed_ = true;
    }
    std::fflush(file_);
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

// Gathers text and writes it out in large chunks.
void TrafficLog::WriteText(const std::string& text) {
    chunk_ += text;
    if (chunk_.size() < kChunkBytes) {
        return;
    }
    if (std::fwrite(chunk_.data(), 1, chunk_.size(), file_) != chunk_.size()) {
        write_failed_ = true;
    }
    chunk_.clear();
}

void InstallLineTap(TrafficLog* log) {
    g_log.store(log);
    platform::SetDeviceWrapper(&WrapDevice);
}

const std::atomic<std::uint64_t>& BytesSent() {
    return g_bytes_sent;
}

}  // namespace vantor::cli
