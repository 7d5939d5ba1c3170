#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "records/log_file.h"

namespace vantor::records {

// Opened non-blocking: a FIFO without a reader would otherwise hold the program before anything
// happens.
Result<std::FILE*> OpenLogFile(const std::string& path) {
    int fd = -1;
    if (path == "-") {
        fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        struct stat info {};
        if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
            ::close(fd);
            return Failure{kLogNotRegularFile};
        }
        if (fd >= 0 && (::ftruncate(fd, 0) != 0 ||
                        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
            const int failure = errno;
            ::close(fd);
            errno = failure;
            fd = -1;
        }
    }
    if (fd < 0) {
        return Failure{errno == ENXIO ? kLogNotRegularFile : std::strerror(errno)};
    }
    std::FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        const int failure = errno;
        ::close(fd);
        return Failure{std::strerror(failure)};
    }
    return file;
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

}  // namespace vantor::records
