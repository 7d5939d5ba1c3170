// A UART driver and the terminal layer above it, beneath the termios backend's system call layer,
// in front of a simulated line: it marks the simulated drive's breaks and 0xFF bytes as the
// terminal layer does and keeps a kernel output buffer that drains at line rate, so that breaks
// both ways, purges and synchronous writes run as they would on a USB adapter.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/serial/posix_syscalls.h"
#include "sim/simulated_line.h"

namespace vantor::test {

inline constexpr char kUartPath[] = "/dev/ttyVANTORSIM0";
inline constexpr int kUartFd = 1000;
// The kernel's output buffer of a USB serial driver.
inline constexpr std::size_t kKernelOutputBytes = 4096;

// A UART driver and the terminal layer above it, in front of a simulated line.
class SimulatedUart final : public platform::PosixSyscalls {
  public:
    explicit SimulatedUart(std::shared_ptr<sim::SimWorld> world) : world_(std::move(world)) {
        attributes_.c_cflag = CS8 | CREAD;
        cfsetospeed(&attributes_, B9600);
        cfsetispeed(&attributes_, B9600);
    }

    // Once this holds, the adapter is gone: every call but close fails with EIO.
    std::function<bool()> unplug_when;
    bool opened = false;
    bool closed = false;

    int Open(const char* path, int flags) override {
        if (std::strcmp(path, kUartPath) != 0) {
            return PosixSyscalls::Open(path, flags);
        }
        line_ = std::make_unique<sim::SimulatedLine>(world_);
        opened = true;
        return kUartFd;
    }
    int Close(int fd) override {
        if (fd != kUartFd) {
            return PosixSyscalls::Close(fd);
        }
        line_.reset();
        closed = true;
        return 0;
    }
    ssize_t Read(int, void* buffer, std::size_t count) override;
    // The kernel takes what fits in its buffer and returns at once; the buffer drains into the
    // UART at line rate.
    ssize_t Write(int, const void* bytes, std::size_t count) override {
        if (Unplugged()) {
            return Fail(EIO);
        }
        Drain();
        const std::size_t taken = std::min(count, kKernelOutputBytes - output_.size());
        if (taken == 0) {
            return Fail(EAGAIN);
        }
        const auto* first = static_cast<const std::uint8_t*>(bytes);
        output_.insert(output_.end(), first, first + taken);
        Drain();
        return static_cast<ssize_t>(taken);
    }
    // Bytes in the kernel's output buffer, not yet handed to the UART.
    std::size_t OutputQueued() {
        Drain();
        return output_.size();
    }
    int Ioctl(int, unsigned long request, void*) override;
    int TcGetAttr(int, termios* attributes) override {
        *attributes = attributes_;
        return Unplugged() ? Fail(EIO) : 0;
    }
    int TcSetAttr(int, int, const termios* attributes) override;
    int TcFlush(int, int queue) override {
        if (Unplugged()) {
            return Fail(EIO);
        }
        if (queue == TCIFLUSH || queue == TCIOFLUSH) {
            marked_.clear();
            line_->Purge(platform::kPurgeRxClear);
        }
        if (queue == TCOFLUSH || queue == TCIOFLUSH) {
            output_.clear();
            line_->Purge(platform::kPurgeTxClear);
        }
        return 0;
    }
    int Flock(int, int) override { return 0; }

  private:
    static int Fail(int error) {
        errno = error;
        return -1;
    }
    bool Unplugged() {
        unplugged_ = unplugged_ || (unplug_when && unplug_when());
        return unplugged_;
    }
    // Hands the UART what its transmitter FIFO has room for by now: one byte per 10 bit times.
    void Drain() {
        const std::int64_t byte_ns =
            cfgetospeed(&attributes_) == B19200 ? 10'000'000'000 / 19200 : 10'000'000'000 / 9600;
        const std::int64_t now_ns = platform::NowNs();
        while (line_ && !output_.empty() &&
               uart_busy_until_ns_ - now_ns <=
                   static_cast<std::int64_t>(platform::kTransmitFifoBytes - 1) * byte_ns) {
            std::size_t written = 0;
            line_->Write(&output_.front(), 1, written);
            output_.pop_front();
            uart_busy_until_ns_ = std::max(uart_busy_until_ns_, now_ns) + byte_ns;
        }
    }

    std::shared_ptr<sim::SimWorld> world_;
    std::unique_ptr<sim::SimulatedLine> line_;
    termios attributes_{};
    std::deque<std::uint8_t> marked_;
    std::deque<std::uint8_t> output_;
    std::int64_t uart_busy_until_ns_ = 0;
    bool unplugged_ = false;
    bool in_break_ = false;
};

// What the terminal layer hands up with PARMRK: a break as FF 00 00, a data 0xFF as FF FF.
inline ssize_t SimulatedUart::Read(int, void* buffer, std::size_t count) {
    if (Unplugged()) {
        return Fail(EIO);
    }
    Drain();
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    line_->ClearError(errors, waiting);
    // A UART reports a break once, however long the line stays in it.
    const bool in_break = (errors & platform::kLineBreakFlag) != 0;
    if (in_break && !in_break_) {
        marked_.insert(marked_.end(), {0xFF, 0x00, 0x00});
    }
    in_break_ = in_break;
    std::vector<std::uint8_t> data(waiting);
    std::size_t got = 0;
    line_->Read(data.data(), data.size(), got);
    for (std::size_t i = 0; i < got; ++i) {
        marked_.push_back(data[i]);
        if (data[i] == 0xFF) {
            marked_.push_back(0xFF);
        }
    }
    const std::size_t n = std::min(count, marked_.size());
    std::copy_n(marked_.begin(), n, static_cast<std::uint8_t*>(buffer));
    marked_.erase(marked_.begin(), marked_.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<ssize_t>(n);
}

inline int SimulatedUart::Ioctl(int, unsigned long request, void* arg) {
    if (request == TIOCNXCL) {
        return 0;
    }
    if (Unplugged()) {
        return Fail(EIO);
    }
    switch (request) {
        case TIOCEXCL:
            return 0;
        case TIOCOUTQ:
            *static_cast<int*>(arg) = static_cast<int>(OutputQueued());
            return 0;
        case TIOCSBRK:
            return line_->SetBreak() ? 0 : Fail(EIO);
        case TIOCCBRK:
            return line_->ClearBreak() ? 0 : Fail(EIO);
        default:
            return Fail(ENOTTY);  // no counters, no low-latency switch
    }
}

inline int SimulatedUart::TcSetAttr(int, int, const termios* attributes) {
    if (Unplugged()) {
        return Fail(EIO);
    }
    attributes_ = *attributes;
    platform::LineSettings settings;
    line_->GetSettings(settings);
    settings.BaudRate = cfgetospeed(attributes) == B19200 ? 19200 : 9600;
    line_->SetSettings(settings);
    return 0;
}

}  // namespace vantor::test
