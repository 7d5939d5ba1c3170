// The termios backend's own half: opening the device, its settings, and the system calls that
// move bytes and breaks. The line is raw 8N1 with every byte passed unchanged; received breaks
// are marked in the byte stream (PARMRK) and decoded here into the shared receive queue
// (buffered_serial_device.h), so that the bytes waiting count data only and a break sets the
// break flag.
#include "platform/serial/posix_serial_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/serial/buffered_serial_device.h"
#include "platform/serial/posix_syscalls.h"
#include "platform/serial/uucp_lock.h"

namespace vantor::platform {

namespace {

// A write waits for its bytes (and those queued before them) to go out for the time they take
// at line rate, twice over, plus this margin; then it reports what it got out.
constexpr std::int64_t kWriteMarginMs = 100;
// A write waiting for its bytes to go out looks at the queue at least this often.
constexpr std::int64_t kDrainStepMaxMs = 50;
// The pseudo-terminal slaves (/dev/pts/N) have these major device numbers.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

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

class PosixSerialDevice final : public BufferedSerialDevice {
  public:
    PosixSerialDevice(int fd, std::uint32_t baud_rate, UucpLock lock, bool pty)
        : BufferedSerialDevice(fd), baud_rate_(baud_rate), lock_(std::move(lock)), pty_(pty) {
        icount_supported_ = ReadCounters(last_counters_);
    }
    ~PosixSerialDevice() override { Close(); }
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool Purge(std::uint32_t flags) override;
    bool SetBreak() override { return Control(TIOCSBRK); }
    bool ClearBreak() override { return Control(TIOCCBRK); }
    bool GetModemStatus(std::uint32_t& status) override;
    bool SetModemControl(std::uint32_t function) override;
    bool Close() override;
    DeviceCondition Condition() const override {
        DeviceCondition condition;
        condition.lost = Gone() ? kLostSerialDeviceText : nullptr;
        // The kernel takes a break on a pty but never hands it to the other side.
        condition.carries_no_breaks = pty_;
        return condition;
    }
    int WaitableFd() const override { return Usable() ? fd() : -1; }
    // The terminal is watched on the real clock only: a virtual one moves on without it.
    bool AwaitsInput() const override { return Usable() && ProcessClock().IsReal(); }
    void AwaitInput(int ms) override;

  private:
    void Pump() override;
    ssize_t ReceiveSome(std::uint8_t* into, std::size_t room) override;
    void Decode(const std::uint8_t* bytes, std::size_t count) override {
        marked_breaks_ += decoder_.Feed(bytes, count, ReceiveQueue());
    }
    // An adapter pulled out of its socket makes every later call fail with one of these.
    bool IsGoneError(int error) const override {
        return error == EIO || error == ENXIO || error == ENODEV;
    }
    bool ReadCounters(serial_icounter_struct& counters);
    void TakeCounters();
    void NoteBreaks();
    bool Control(unsigned long request);
    std::int64_t ByteNs() const { return 10'000'000'000 / std::max<std::uint32_t>(baud_rate_, 1); }
    // Waits until the output queue holds at most a transmitter FIFO's worth; false when the
    // deadline passed first or the device failed. `queued` is what was left.
    bool AwaitOutputDrained(std::int64_t deadline_ns, std::size_t& queued);
    bool OutputQueued(std::size_t& queued);
    int DrainStepMs(std::size_t queued) const;

    std::uint32_t baud_rate_;
    UucpLock lock_;
    bool pty_;
    std::uint64_t other_settings_ = 0;
    ParmrkDecoder decoder_;
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
    if (Syscalls().TcGetAttr(fd(), &attributes) != 0) {
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
    if (Syscalls().TcGetAttr(fd(), &attributes) != 0) {
        NoteFailure(errno);
        return false;
    }
    if (!EncodeFormat(settings, attributes)) {
        return false;
    }
    if (Syscalls().TcSetAttr(fd(), TCSANOW, &attributes) != 0) {
        NoteFailure(errno);
        return false;
    }
    other_settings_ = settings.Other;
    baud_rate_ = settings.BaudRate;
    return true;
}

void PosixSerialDevice::Pump() {
    ReceiveIntoQueue();
    TakeCounters();
    NoteBreaks();
}

bool PosixSerialDevice::ReadCounters(serial_icounter_struct& counters) {
    if (Syscalls().Ioctl(fd(), TIOCGICOUNT, &counters) == 0) {
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
    RaiseErrors(now.overrun != last_counters_.overrun ? kLineErrorOverrun : 0);
    RaiseErrors(now.parity != last_counters_.parity ? kLineErrorParity : 0);
    RaiseErrors(now.frame != last_counters_.frame ? kLineErrorFrame : 0);
    RaiseErrors(now.buf_overrun != last_counters_.buf_overrun ? kLineErrorRxOverflow : 0);
    last_counters_ = now;
}

void PosixSerialDevice::NoteBreaks() {
    const long seen = std::max(marked_breaks_, counted_breaks_);
    if (seen > flagged_breaks_) {
        RaiseErrors(kLineBreakFlag);
        flagged_breaks_ = seen;
    }
}

// A hung-up terminal (an adapter pulled out, a pty whose other side closed) reads as empty
// rather than failing; only its poll flags tell.
ssize_t PosixSerialDevice::ReceiveSome(std::uint8_t* into, std::size_t room) {
    const ssize_t got = Syscalls().Read(fd(), into, room);
    if (got != 0) {
        return got;
    }
    pollfd entry{fd(), POLLIN, 0};
    if (Syscalls().Poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0) {
        MarkGone();
    }
    return 0;
}

// Bytes and break marks arrive in the terminal's input; a hang-up ends the wait too, and the
// next call finds the device gone.
void PosixSerialDevice::AwaitInput(int ms) {
    if (!AwaitsInput()) {
        Sleep(ms);
        return;
    }
    ReleaseHeldOutput();
    pollfd entry{fd(), POLLIN, 0};
    Syscalls().Poll(&entry, 1, ms);
}

bool PosixSerialDevice::OutputQueued(std::size_t& queued) {
    int bytes = 0;
    if (Syscalls().Ioctl(fd(), TIOCOUTQ, &bytes) == 0) {
        queued = static_cast<std::size_t>(std::max(bytes, 0));
        return true;
    }
    NoteFailure(errno);
    return false;
}

// The queue drains at line rate: one sleep for what must go first, not one a millisecond. A
// virtual clock's time does not drain the kernel's queue, so there it looks every millisecond.
int PosixSerialDevice::DrainStepMs(std::size_t queued) const {
    if (!ProcessClock().IsReal()) {
        return 1;
    }
    const std::int64_t drain_ns = static_cast<std::int64_t>(queued - kTransmitFifoBytes) * ByteNs();
    return static_cast<int>(std::clamp<std::int64_t>(drain_ns / 1'000'000, 1, kDrainStepMaxMs));
}

bool PosixSerialDevice::AwaitOutputDrained(std::int64_t deadline_ns, std::size_t& queued) {
    queued = 0;
    while (Usable()) {
        if (!OutputQueued(queued)) {
            // A driver that does not count its queue: wait for all of it to go out.
            if (!Usable()) {
                return false;
            }
            InterruptRetries interrupts;
            int drained = -1;
            do {
                drained = Syscalls().TcDrain(fd());
            } while (interrupts.Again(drained));
            NoteFailure(drained == 0 ? 0 : errno);
            queued = 0;
            return drained == 0;
        }
        if (queued <= kTransmitFifoBytes) {
            return true;
        }
        if (NowNs() >= deadline_ns) {
            return false;
        }
        Sleep(DrainStepMs(queued));
    }
    return false;
}

bool PosixSerialDevice::Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) {
    written = 0;
    std::size_t queued = 0;
    if (!Usable() || !OutputQueued(queued)) {
        queued = 0;
    }
    // Everything ahead of these bytes and the bytes themselves, at line rate, twice over.
    const std::int64_t line_ns = static_cast<std::int64_t>(queued + count) * ByteNs();
    const std::int64_t deadline_ns = NowNs() + 2 * line_ns + kWriteMarginMs * 1'000'000;
    std::size_t accepted = 0;
    InterruptRetries interrupts;
    while (Usable() && accepted < count) {
        const ssize_t sent = Syscalls().Write(fd(), bytes + accepted, count - accepted);
        if (sent > 0) {
            accepted += static_cast<std::size_t>(sent);
            continue;
        }
        if (interrupts.Again(sent)) {
            continue;
        }
        const int error = sent < 0 ? errno : EAGAIN;
        // The kernel's buffer is full: it drains at line rate, so wait a little for room.
        if ((error == EAGAIN || error == EWOULDBLOCK) && NowNs() < deadline_ns) {
            Sleep(1);
            continue;
        }
        NoteFailure(error);
        break;
    }
    // The write is synchronous: it returns once all but the transmitter FIFO's worth is on the
    // line, since the link's poll budgets count from its end.
    const bool drained = accepted > 0 && AwaitOutputDrained(deadline_ns, queued);
    const std::size_t still_queued =
        drained ? 0
                : std::min(accepted, queued > kTransmitFifoBytes ? queued - kTransmitFifoBytes : 0);
    written = accepted - still_queued;
    return written == count && drained;
}

bool PosixSerialDevice::Purge(std::uint32_t flags) {
    if (!Usable()) {
        return false;
    }
    bool done = true;
    if ((flags & kPurgeRxClear) != 0) {
        DropReceived();
        decoder_.Reset();
        done = Syscalls().TcFlush(fd(), TCIFLUSH) == 0;
        NoteFailure(done ? 0 : errno);
    }
    if ((flags & kPurgeTxClear) != 0 && Usable()) {
        const bool flushed = Syscalls().TcFlush(fd(), TCOFLUSH) == 0;
        NoteFailure(flushed ? 0 : errno);
        done = done && flushed;
    }
    return done && Usable();
}

bool PosixSerialDevice::Control(unsigned long request) {
    if (!Usable()) {
        return false;
    }
    if (Syscalls().Ioctl(fd(), request, nullptr) != 0) {
        NoteFailure(errno);
        return false;
    }
    return true;
}

// A pty and some adapters have no modem lines; their refusal (ENOTTY, EINVAL) leaves the device
// usable.
bool PosixSerialDevice::GetModemStatus(std::uint32_t& status) {
    status = 0;
    int lines = 0;
    if (!Usable() || Syscalls().Ioctl(fd(), TIOCMGET, &lines) != 0) {
        NoteFailure(Usable() ? errno : 0);
        return false;
    }
    status = ((lines & TIOCM_CTS) != 0 ? kModemCtsOn : 0) |
             ((lines & TIOCM_DSR) != 0 ? kModemDsrOn : 0) |
             ((lines & TIOCM_RI) != 0 ? kModemRingOn : 0) |
             ((lines & TIOCM_CD) != 0 ? kModemCdOn : 0);
    return true;
}

bool PosixSerialDevice::SetModemControl(std::uint32_t function) {
    if (!Usable() || function < kSetRts || function > kClearDtr) {
        return false;
    }
    int line = function == kSetDtr || function == kClearDtr ? TIOCM_DTR : TIOCM_RTS;
    const bool on = function == kSetDtr || function == kSetRts;
    if (Syscalls().Ioctl(fd(), on ? TIOCMBIS : TIOCMBIC, &line) != 0) {
        NoteFailure(errno);
        return false;
    }
    return true;
}

bool PosixSerialDevice::Close() {
    if (fd() < 0) {
        return false;
    }
    // Closing also ends the exclusive hold and the lock; after an unplug these fail quietly.
    Syscalls().Ioctl(fd(), TIOCNXCL, nullptr);
    const bool closed = Syscalls().Close(ReleaseFd()) == 0;
    lock_.Release();
    return closed;
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
    InterruptRetries interrupts;
    int fd = -1;
    do {
        fd = Syscalls().Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (interrupts.Again(fd));
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

std::string OpenFailureText(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "no such device: " + Quoted(path);
        case EACCES:
        case EPERM:
            return "permission denied for " + Quoted(path) +
                   " (vantor-cli ports shows who may open it)";
        case EBUSY:
            return "the device " + Quoted(path) + " is in use by another program";
        default:
            return "cannot open " + Quoted(path) + ": " + std::strerror(error);
    }
}

// A pty passes bytes but not breaks; its slaves have their own major numbers.
bool IsPty(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
           major(info.st_rdev) >= kPtySlaveMajorFirst && major(info.st_rdev) <= kPtySlaveMajorLast;
}

}  // namespace

bool IsPseudoTerminal(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
           major(info.st_rdev) >= kPtySlaveMajorFirst && major(info.st_rdev) <= kPtySlaveMajorLast;
}

OpenedDevice OpenPosixSerialDevice(const std::string& path) {
    // The lock file comes first: a program that locks the device (ser2net, minicom) may hold
    // it without holding it exclusively, and opening it would disturb its modem lines.
    UucpLock lock;
    if (Result<void> taken = lock.Take(path); !taken) {
        return Failure{taken.reason()};
    }
    // A program that holds the device without a lock file (a terminal program, ModemManager)
    // would share the line with the drive: the open would succeed and the job fail later.
    if (auto holder = FindOtherHolder(path)) {
        return Failure{*holder};
    }
    const int fd = OpenRetrying(path);
    if (fd < 0) {
        return Failure{OpenFailureText(path, errno)};
    }
    FdGuard guard(fd);
    // The lock keeps out every other opener, root included, whom TIOCEXCL lets through.
    if (Syscalls().Flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        return Failure{busy ? "the device " + Quoted(path) + " is in use by another program"
                            : "cannot lock " + Quoted(path) + ": " + std::strerror(errno)};
    }
    termios attributes{};
    if (Syscalls().TcGetAttr(fd, &attributes) != 0) {
        return Failure{Quoted(path) + " is not a serial device: " + std::strerror(errno)};
    }
    if (Syscalls().Ioctl(fd, TIOCEXCL, nullptr) != 0) {
        return Failure{"cannot open " + Quoted(path) + " exclusively: " + std::strerror(errno)};
    }
    MakeRaw(attributes);
    if (Syscalls().TcSetAttr(fd, TCSANOW, &attributes) != 0) {
        return Failure{"cannot set up " + Quoted(path) + ": " + std::strerror(errno)};
    }
    AskLowLatency(fd);
    // Whatever arrived before the line was set up is not the drive's.
    Syscalls().TcFlush(fd, TCIOFLUSH);
    const bool pty = IsPty(fd);
    return std::make_unique<PosixSerialDevice>(guard.Release(), SpeedRate(cfgetospeed(&attributes)),
                                               std::move(lock), pty);
}

}  // namespace vantor::platform
