// The termios backend. The line is raw 8N1 with every byte passed unchanged; received breaks are
// marked in the byte stream (PARMRK) and decoded here into the device's own receive queue, so that
// the bytes waiting count data only and a break sets the break flag.
#include "platform/serial/posix_serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/clock.h"
#include "platform/serial/posix_syscalls.h"

namespace vantor::platform {

namespace {

constexpr std::uint8_t kMarkByte = 0xFF;
// A signal storm must not hold a call forever; after this many EINTRs in one call it gives up.
constexpr int kInterruptRetries = 16;
constexpr std::size_t kReadChunkBytes = 4096;
// A line that delivers nothing but breaks never fills the queue; this bounds one call's reads.
constexpr int kReadsPerPump = 64;
// The receive queue holds at least this much whatever the queue size asked for; the kernel's
// own buffer holds the rest until it is read.
constexpr std::size_t kMinRxQueueBytes = 4096;
// A full transmit buffer is waited on for the time its bytes take at line rate, twice over,
// plus this margin; then the write reports what it got out.
constexpr std::int64_t kWriteMarginMs = 100;

struct BaudCode {
    std::uint32_t rate;
    speed_t code;
};

constexpr std::array<BaudCode, 18> kBaudCodes = {{
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
}};

std::optional<speed_t> SpeedCode(std::uint32_t rate) {
    for (const BaudCode& entry : kBaudCodes) {
        if (entry.rate == rate) {
            return entry.code;
        }
    }
    if (rate == 460800) {
        return B460800;
    }
    if (rate == 921600) {
        return B921600;
    }
    return std::nullopt;
}

std::uint32_t SpeedRate(speed_t code) {
    for (const BaudCode& entry : kBaudCodes) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    if (code == B460800) {
        return 460800;
    }
    return code == B921600 ? 921600 : 0;
}

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
}

// An adapter pulled out of its socket makes every later call fail with one of these.
bool IsGoneError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// The raw line: no flow control, no translation, no echo, no signals; reads never wait
// (VMIN and VTIME 0); breaks and bytes with errors are marked, 0xFF doubled.
void MakeRaw(termios& attributes) {
    attributes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | ISTRIP | INLCR | IGNCR | ICRNL |
                                                 IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    attributes.c_iflag |= PARMRK | INPCK | IGNPAR;
    attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    attributes.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    attributes.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    attributes.c_cflag |= CS8 | CLOCAL | CREAD;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
}

bool EncodeFormat(const LineSettings& settings, termios& attributes) {
    static constexpr std::array<tcflag_t, 4> kSizes = {CS5, CS6, CS7, CS8};
    static constexpr std::array<tcflag_t, 5> kParities = {
        0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    const auto speed = SpeedCode(settings.BaudRate);
    if (!speed || settings.ByteSize < 5 || settings.ByteSize > 8 || settings.Parity > 4 ||
        settings.StopBits > 2) {
        return false;
    }
    attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    attributes.c_cflag |= kSizes[settings.ByteSize - 5] | kParities[settings.Parity];
    // One and a half stop bits exist only with five data bits, where CSTOPB gives them.
    if (settings.StopBits != 0) {
        attributes.c_cflag |= CSTOPB;
    }
    return cfsetispeed(&attributes, *speed) == 0 && cfsetospeed(&attributes, *speed) == 0;
}

void DecodeFormat(const termios& attributes, LineSettings& settings) {
    settings.BaudRate = SpeedRate(cfgetospeed(&attributes));
    const tcflag_t size = attributes.c_cflag & CSIZE;
    settings.ByteSize = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const tcflag_t parity = attributes.c_cflag & (PARENB | PARODD | CMSPAR);
    settings.Parity = 0;
    if ((parity & PARENB) != 0) {
        const bool odd = (parity & PARODD) != 0;
        settings.Parity = (parity & CMSPAR) != 0 ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    const bool extra_stop = (attributes.c_cflag & CSTOPB) != 0;
    settings.StopBits = !extra_stop ? 0 : (size == CS5 ? 1 : 2);
}

}  // namespace

int ParmrkDecoder::Feed(const std::uint8_t* bytes, std::size_t count,
                        std::deque<std::uint8_t>& data) {
    int breaks = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
            case State::Plain:
                if (byte == kMarkByte) {
                    state_ = State::SawMark;
                } else {
                    data.push_back(byte);
                }
                break;
            case State::SawMark:
                if (byte == 0x00) {
                    state_ = State::SawMarkZero;
                } else {
                    // FF FF is a data 0xFF; any other follower cannot come from the terminal
                    // layer, and both bytes are passed on rather than lost.
                    data.push_back(kMarkByte);
                    if (byte != kMarkByte) {
                        data.push_back(byte);
                    }
                    state_ = State::Plain;
                }
                break;
            case State::SawMarkZero:
                if (byte == 0x00) {
                    ++breaks;
                } else {
                    data.push_back(byte);
                }
                state_ = State::Plain;
                break;
        }
    }
    return breaks;
}

namespace {

class PosixSerialDevice final : public SerialDevice {
  public:
    PosixSerialDevice(int fd, std::uint32_t baud_rate) : fd_(fd), baud_rate_(baud_rate) {
        icount_supported_ = ReadCounters(last_counters_);
    }
    ~PosixSerialDevice() override { Close(); }
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t tx_bytes) override;
    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) override;
    bool Purge(std::uint32_t flags) override;
    bool SetBreak() override { return Control(TIOCSBRK); }
    bool ClearBreak() override { return Control(TIOCCBRK); }
    bool Close() override;

  private:
    bool Usable() const { return fd_ >= 0 && !gone_; }
    // Remembers an adapter that is gone, so that every later call fails at once.
    void NoteFailure(int error) { gone_ = gone_ || IsGoneError(error); }
    void Pump();
    bool ReadCounters(serial_icounter_struct& counters);
    void TakeCounters();
    void NoteBreaks();
    bool Control(unsigned long request);
    std::int64_t WriteBudgetNs(std::size_t count) const;

    int fd_;
    std::uint32_t baud_rate_;
    bool gone_ = false;
    std::uint64_t other_settings_ = 0;
    std::size_t rx_queue_bytes_ = kMinRxQueueBytes;
    ParmrkDecoder decoder_;
    std::deque<std::uint8_t> rx_;
    std::uint32_t errors_ = 0;
    // Breaks are counted by two sources, the marks in the byte stream and the driver's
    // counter, which see the same break at different moments; the flag is set once per break
    // that the source ahead has counted.
    bool icount_supported_ = false;
    serial_icounter_struct last_counters_{};
    long marked_breaks_ = 0;
    long counted_breaks_ = 0;
    long flagged_breaks_ = 0;
};

bool PosixSerialDevice::GetSettings(LineSettings& settings) {
    termios attributes{};
    if (!Usable()) {
        return false;
    }
    if (Syscalls().TcGetAttr(fd_, &attributes) != 0) {
        NoteFailure(errno);
        return false;
    }
    DecodeFormat(attributes, settings);
    settings.Other = other_settings_;
    return true;
}

bool PosixSerialDevice::SetSettings(const LineSettings& settings) {
    termios attributes{};
    if (!Usable()) {
        return false;
    }
    if (Syscalls().TcGetAttr(fd_, &attributes) != 0) {
        NoteFailure(errno);
        return false;
    }
    if (!EncodeFormat(settings, attributes)) {
        return false;
    }
    if (Syscalls().TcSetAttr(fd_, TCSANOW, &attributes) != 0) {
        NoteFailure(errno);
        return false;
    }
    other_settings_ = settings.Other;
    baud_rate_ = settings.BaudRate;
    return true;
}

bool PosixSerialDevice::SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t /*tx_bytes*/) {
    // The kernel sizes its own buffers; the receive size bounds how much is taken from them.
    rx_queue_bytes_ = std::max<std::size_t>(rx_bytes, kMinRxQueueBytes);
    return Usable();
}

void PosixSerialDevice::Pump() {
    std::array<std::uint8_t, kReadChunkBytes> chunk{};
    int interrupts = 0;
    for (int reads = 0; reads < kReadsPerPump && Usable() && rx_.size() < rx_queue_bytes_;
         ++reads) {
        const std::size_t room = std::min(chunk.size(), rx_queue_bytes_ - rx_.size());
        const ssize_t got = Syscalls().Read(fd_, chunk.data(), room);
        if (got > 0) {
            marked_breaks_ += decoder_.Feed(chunk.data(), static_cast<std::size_t>(got), rx_);
            continue;
        }
        if (got < 0 && errno == EINTR && ++interrupts < kInterruptRetries) {
            continue;
        }
        if (got < 0) {
            NoteFailure(errno);
        }
        break;
    }
    TakeCounters();
    NoteBreaks();
}

bool PosixSerialDevice::ReadCounters(serial_icounter_struct& counters) {
    if (Syscalls().Ioctl(fd_, TIOCGICOUNT, &counters) == 0) {
        return true;
    }
    NoteFailure(errno);
    return false;
}

// The driver's counters, where it keeps them, catch a break whose mark was lost to a purge
// and report the line errors that the marks do not tell apart.
void PosixSerialDevice::TakeCounters() {
    serial_icounter_struct now{};
    if (!Usable() || !icount_supported_ || !ReadCounters(now)) {
        return;
    }
    counted_breaks_ += now.brk - last_counters_.brk;
    errors_ |= now.overrun != last_counters_.overrun ? kLineErrorOverrun : 0;
    errors_ |= now.parity != last_counters_.parity ? kLineErrorParity : 0;
    errors_ |= now.frame != last_counters_.frame ? kLineErrorFrame : 0;
    errors_ |= now.buf_overrun != last_counters_.buf_overrun ? kLineErrorRxOverflow : 0;
    last_counters_ = now;
}

void PosixSerialDevice::NoteBreaks() {
    const long seen = std::max(marked_breaks_, counted_breaks_);
    if (seen > flagged_breaks_) {
        errors_ |= kLineBreakFlag;
        flagged_breaks_ = seen;
    }
}

bool PosixSerialDevice::Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) {
    got = 0;
    Pump();
    if (!Usable()) {
        return false;
    }
    got = std::min(max, rx_.size());
    std::copy_n(rx_.begin(), got, buffer);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(got));
    return true;
}

std::int64_t PosixSerialDevice::WriteBudgetNs(std::size_t count) const {
    const std::int64_t line_ns = static_cast<std::int64_t>(count) * 10 * 1'000'000'000 /
                                 std::max<std::uint32_t>(baud_rate_, 1);
    return 2 * line_ns + kWriteMarginMs * 1'000'000;
}

bool PosixSerialDevice::Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) {
    written = 0;
    const std::int64_t deadline_ns = NowNs() + WriteBudgetNs(count);
    int interrupts = 0;
    while (Usable() && written < count) {
        const ssize_t sent = Syscalls().Write(fd_, bytes + written, count - written);
        if (sent > 0) {
            written += static_cast<std::size_t>(sent);
            continue;
        }
        const int error = sent < 0 ? errno : EAGAIN;
        if (error == EINTR && ++interrupts < kInterruptRetries) {
            continue;
        }
        // The transmit buffer is full: it drains at line rate, so wait a little for room.
        if ((error == EAGAIN || error == EWOULDBLOCK) && NowNs() < deadline_ns) {
            Sleep(1);
            continue;
        }
        NoteFailure(error);
        break;
    }
    return written == count;
}

bool PosixSerialDevice::ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) {
    errors = 0;
    bytes_waiting = 0;
    Pump();
    if (!Usable()) {
        return false;
    }
    errors = std::exchange(errors_, 0);
    bytes_waiting = static_cast<std::uint32_t>(rx_.size());
    return true;
}

bool PosixSerialDevice::Purge(std::uint32_t flags) {
    if (!Usable()) {
        return false;
    }
    bool done = true;
    if ((flags & kPurgeRxClear) != 0) {
        rx_.clear();
        decoder_.Reset();
        done = Syscalls().TcFlush(fd_, TCIFLUSH) == 0;
        NoteFailure(done ? 0 : errno);
    }
    if ((flags & kPurgeTxClear) != 0 && Usable()) {
        const bool flushed = Syscalls().TcFlush(fd_, TCOFLUSH) == 0;
        NoteFailure(flushed ? 0 : errno);
        done = done && flushed;
    }
    return done && Usable();
}

bool PosixSerialDevice::Control(unsigned long request) {
    if (!Usable()) {
        return false;
    }
    if (Syscalls().Ioctl(fd_, request, nullptr) != 0) {
        NoteFailure(errno);
        return false;
    }
    return true;
}

bool PosixSerialDevice::Close() {
    if (fd_ < 0) {
        return false;
    }
    // Closing also ends the exclusive hold and the lock; after an unplug these fail quietly.
    Syscalls().Ioctl(fd_, TIOCNXCL, nullptr);
    const int fd = std::exchange(fd_, -1);
    return Syscalls().Close(fd) == 0;
}

// Closes the descriptor on every way out of a failed open.
class FdGuard {
  public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) {
            Syscalls().Close(fd_);
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

int OpenRetrying(const std::string& path) {
    int fd = -1;
    for (int attempt = 0; attempt < kInterruptRetries; ++attempt) {
        fd = Syscalls().Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) {
            break;
        }
    }
    return fd;
}

// USB adapters hold received bytes for up to 16 ms unless told otherwise, which costs a
// protocol that looks every millisecond most of its speed. Drivers that refuse are left as
// they are.
void AskLowLatency(int fd) {
    serial_struct serial{};
    if (Syscalls().Ioctl(fd, TIOCGSERIAL, &serial) != 0 ||
        (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    Syscalls().Ioctl(fd, TIOCSSERIAL, &serial);
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

}  // namespace

std::unique_ptr<SerialDevice> OpenPosixSerialDevice(const std::string& path, std::string* error) {
    const int fd = OpenRetrying(path);
    if (fd < 0) {
        SetError(error, "cannot open " + Quoted(path) + ": " + std::strerror(errno));
        return nullptr;
    }
    FdGuard guard(fd);
    // The lock keeps out every other opener, root included, whom TIOCEXCL lets through.
    if (Syscalls().Flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        SetError(error, busy ? "the device " + Quoted(path) + " is in use by another program"
                             : "cannot lock " + Quoted(path) + ": " + std::strerror(errno));
        return nullptr;
    }
    termios attributes{};
    if (Syscalls().TcGetAttr(fd, &attributes) != 0) {
        SetError(error, Quoted(path) + " is not a serial device: " + std::strerror(errno));
        return nullptr;
    }
    if (Syscalls().Ioctl(fd, TIOCEXCL, nullptr) != 0) {
        SetError(error, "cannot open " + Quoted(path) + " exclusively: " + std::strerror(errno));
        return nullptr;
    }
    MakeRaw(attributes);
    if (Syscalls().TcSetAttr(fd, TCSANOW, &attributes) != 0) {
        SetError(error, "cannot set up " + Quoted(path) + ": " + std::strerror(errno));
        return nullptr;
    }
    AskLowLatency(fd);
    return std::make_unique<PosixSerialDevice>(guard.Release(),
                                               SpeedRate(cfgetospeed(&attributes)));
}

}  // namespace vantor::platform
