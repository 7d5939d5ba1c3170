// A system call layer for the termios backend's tests: the real calls on a pty underneath, with
// failures, short writes, marked bytes and driver counters injected on top.
#pragma once

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <vector>

#include "platform/serial/posix_syscalls.h"

namespace vantor::test {

class FaultySyscalls final : public platform::PosixSyscalls {
  public:
    // What one read returns instead of the real call: a failure (`error`), else `bytes` (none
    // means a read that found nothing).
    struct ReadStep {
        int error = 0;
        std::vector<std::uint8_t> bytes;
    };

    std::deque<ReadStep> reads;    // taken first, one per read
    int read_error = 0;            // then every read fails so, when set
    std::deque<int> write_errors;  // taken first, one per write
    int write_error = 0;           // then every write fails so, when set
    std::size_t write_limit = std::numeric_limits<std::size_t>::max();  // bytes per write
    std::map<unsigned long, int> ioctl_errors;  // requests that fail, with their errno
    int tcsetattr_error = 0;
    // A pty's driver forces 8 data bits without parity; this keeps every format as set, as a
    // UART's driver does.
    bool keep_attributes = false;
    bool driver_counts_breaks = false;  // TIOCGICOUNT answered with `counted_breaks`
    int counted_breaks = 0;

    int calls = 0;  // every call of the layer
    int reads_made = 0;
    int opens = 0;
    int closes = 0;

    int Open(const char* path, int flags) override {
        ++calls;
        const int fd = PosixSyscalls::Open(path, flags);
        opens += fd >= 0 ? 1 : 0;
        return fd;
    }
    int Close(int fd) override {
        ++calls;
        ++closes;
        return PosixSyscalls::Close(fd);
    }
    ssize_t Read(int fd, void* buffer, std::size_t count) override {
        ++calls;
        ++reads_made;
        if (!reads.empty()) {
            ReadStep step = std::move(reads.front());
            reads.pop_front();
            if (step.error != 0) {
                return Fail(step.error);
            }
            const std::size_t n = std::min(count, step.bytes.size());
            std::copy_n(step.bytes.begin(), n, static_cast<std::uint8_t*>(buffer));
            return static_cast<ssize_t>(n);
        }
        return read_error != 0 ? Fail(read_error) : PosixSyscalls::Read(fd, buffer, count);
    }
    ssize_t Write(int fd, const void* bytes, std::size_t count) override {
        ++calls;
        if (!write_errors.empty()) {
            const int error = write_errors.front();
            write_errors.pop_front();
            return Fail(error);
        }
        if (write_error != 0) {
            return Fail(write_error);
        }
        return PosixSyscalls::Write(fd, bytes, std::min(count, write_limit));
    }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        ++calls;
        if (const auto found = ioctl_errors.find(request); found != ioctl_errors.end()) {
            return static_cast<int>(Fail(found->second));
        }
        if (request == TIOCGICOUNT && driver_counts_breaks) {
            auto* counters = static_cast<serial_icounter_struct*>(arg);
            *counters = {};
            counters->brk = counted_breaks;
            return 0;
        }
        return PosixSyscalls::Ioctl(fd, request, arg);
    }
    int TcGetAttr(int fd, termios* attributes) override {
        ++calls;
        const int result = PosixSyscalls::TcGetAttr(fd, attributes);
        if (result == 0 && keep_attributes && kept_) {
            *attributes = kept_attributes_;
        }
        return result;
    }
    int TcSetAttr(int fd, int when, const termios* attributes) override {
        ++calls;
        if (tcsetattr_error != 0) {
            return static_cast<int>(Fail(tcsetattr_error));
        }
        kept_attributes_ = *attributes;
        kept_ = true;
        return keep_attributes ? 0 : PosixSyscalls::TcSetAttr(fd, when, attributes);
    }
    int TcFlush(int fd, int queue) override {
        ++calls;
        return PosixSyscalls::TcFlush(fd, queue);
    }
    int Flock(int fd, int operation) override {
        ++calls;
        return PosixSyscalls::Flock(fd, operation);
    }

    // The attributes last set.
    const termios& kept_attributes() const { return kept_attributes_; }

  private:
    termios kept_attributes_{};
    bool kept_ = false;

    static ssize_t Fail(int error) {
        errno = error;
        return -1;
    }
};

}  // namespace vantor::test
