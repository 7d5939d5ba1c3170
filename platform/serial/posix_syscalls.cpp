#include "platform/serial/posix_syscalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace vantor::platform {

int PosixSyscalls::Open(const char* path, int flags) {
    return ::open(path, flags);
}

int PosixSyscalls::Close(int fd) {
    return ::close(fd);
}

ssize_t PosixSyscalls::Read(int fd, void* buffer, std::size_t count) {
    return ::read(fd, buffer, count);
}

ssize_t PosixSyscalls::Write(int fd, const void* bytes, std::size_t count) {
    return ::write(fd, bytes, count);
}

int PosixSyscalls::Ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

int PosixSyscalls::TcGetAttr(int fd, termios* attributes) {
    return ::tcgetattr(fd, attributes);
}

int PosixSyscalls::TcSetAttr(int fd, int when, const termios* attributes) {
    return ::tcsetattr(fd, when, attributes);
}

int PosixSyscalls::TcFlush(int fd, int queue) {
    return ::tcflush(fd, queue);
}

int PosixSyscalls::TcDrain(int fd) {
    return ::tcdrain(fd);
}

int PosixSyscalls::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

int PosixSyscalls::Flock(int fd, int operation) {
    return ::flock(fd, operation);
}

namespace {

PosixSyscalls g_plain_syscalls;
std::atomic<PosixSyscalls*> g_syscalls{&g_plain_syscalls};

}  // namespace

PosixSyscalls& Syscalls() {
    return *g_syscalls.load(std::memory_order_acquire);
}

PosixSyscalls* SetSyscalls(PosixSyscalls* syscalls) {
    return g_syscalls.exchange(syscalls != nullptr ? syscalls : &g_plain_syscalls,
                               std::memory_order_acq_rel);
}

}  // namespace vantor::platform
