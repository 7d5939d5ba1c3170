#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/regular_file.h"

namespace vantor::platform {

int OpenRegularFile(const std::string& path, bool read_write, bool exclusive) {
    // Opened without blocking: a FIFO would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), (read_write ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular || (exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

Result<void> CheckFileName(const std::string& /*path*/) {
    return {};
}

}  // namespace vantor::platform
