// The thin layer through which the termios backend makes every system call, so that a test can
// make a read fail with EINTR, EAGAIN or EIO, cut a write short or refuse a setting without any
// hardware.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>

namespace vantor::platform {

// Each operation behaves as the system call of the same name: -1 and errno on failure.
class PosixSyscalls {
  public:
    virtual ~PosixSyscalls() = default;

    virtual int Open(const char* path, int flags);
    virtual int Close(int fd);
    virtual ssize_t Read(int fd, void* buffer, std::size_t count);
    virtual ssize_t Write(int fd, const void* bytes, std::size_t count);
    // `arg` is the ioctl's third argument: a pointer to its record, or nullptr when it takes none.
    virtual int Ioctl(int fd, unsigned long request, void* arg);
    virtual int TcGetAttr(int fd, termios* attributes);
    virtual int TcSetAttr(int fd, int when, const termios* attributes);
    virtual int TcFlush(int fd, int queue);
    virtual int TcDrain(int fd);
    virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms);
    virtual int Flock(int fd, int operation);
};

// The layer in force: the plain system calls unless a test installed another.
PosixSyscalls& Syscalls();
// Installs `syscalls` (nullptr restores the plain system calls); returns the previous layer.
PosixSyscalls* SetSyscalls(PosixSyscalls* syscalls);

// Installs a layer for the lifetime of the object and restores the previous one afterwards.
class ScopedSyscalls {
  public:
    explicit ScopedSyscalls(PosixSyscalls& syscalls) : previous_(SetSyscalls(&syscalls)) {}
    ~ScopedSyscalls() { SetSyscalls(previous_); }
    ScopedSyscalls(const ScopedSyscalls&) = delete;
    ScopedSyscalls& operator=(const ScopedSyscalls&) = delete;

  private:
    PosixSyscalls* previous_;
};

}  // namespace vantor::platform
