// The locked file on POSIX systems: flock for the lock, mkostemp and rename for the
// replacement, and the folder synced after it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "platform/locked_file.h"
#include "platform/store_file.h"

namespace vantor::platform {
namespace {

// Closes a descriptor on every way out of the function that opened it.
class ScopedFd {
  public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and gives close's own errno (0 on success), which can report a late write
    // error on some file systems.
    int CloseNow() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TempFileGuard {
  public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    ~TempFileGuard() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

// Another opener holding the lock counts as the file being open elsewhere.
int LockExclusive(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

bool ReadAllFrom(int fd, std::string& bytes) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return 0;
}

// The rename is only durable once the folder's entry is on the disk too; a failure here
// loses nothing that the rename did not already settle, so it is not reported.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

LockedFile::~LockedFile() {
    Close();
}

void LockedFile::Close() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

int LockedFile::Open(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    ScopedFd file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EACCES;
    }
    if (const int lock_error = LockExclusive(fd); lock_error != 0) {
        return lock_error;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    handle_ = file.Release();
    return 0;
}

bool LockedFile::ReadAll(std::string& bytes) {
    const int fd = static_cast<int>(handle_);
    return fd >= 0 && ::lseek(fd, 0, SEEK_SET) == 0 && ReadAllFrom(fd, bytes);
}

int LockedFile::RewriteInPlace(const std::string& bytes) {
    const int fd = static_cast<int>(handle_);
    std::string old_bytes;
    if (!ReadAll(old_bytes)) {
        return fd < 0 ? EBADF : errno;
    }
    int error = 0;
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        error = errno;
    } else if ((error = WriteAll(fd, bytes)) == 0) {
        if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0) {
            error = errno;
        }
        if (error == 0) {
            return 0;
        }
    }
    if (::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, old_bytes) == 0) {
        (void)::ftruncate(fd, static_cast<off_t>(old_bytes.size()));
        (void)::fsync(fd);
    }
    return error;
}

int LockedFile::ReplaceWith(const std::string& target, const std::string& bytes) {
    struct stat status {};
    if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &status) != 0) {
        return handle_ < 0 ? EBADF : errno;
    }
    std::string temp_path = target + ".XXXXXX";
    const int temp_fd = ::mkostemp(temp_path.data(), O_CLOEXEC);
    if (temp_fd < 0) {
        return kNoFileBeside;
    }
    ScopedFd temp(temp_fd);
    TempFileGuard remove_temp(temp_path);
    if (::fchmod(temp.get(), status.st_mode & 07777) != 0) {
        return errno;
    }
    if (const int write_error = WriteAll(temp.get(), bytes); write_error != 0) {
        return write_error;
    }
    if (::fsync(temp.get()) != 0) {
        return errno;
    }
    if (const int close_error = temp.CloseNow(); close_error != 0) {
        return close_error;
    }
    if (::rename(temp_path.c_str(), target.c_str()) != 0) {
        return errno;
    }
    remove_temp.Release();
    SyncFolder(ParentFolder(target));
    return 0;
}

// A list that is a symbolic link into a shared folder must keep its place: the link's target
// is the file to replace, not the link.
std::string LinkTarget(const std::string& path) {
    struct stat link_status {};
    if (::lstat(path.c_str(), &link_status) != 0 || !S_ISLNK(link_status.st_mode)) {
        return path;
    }
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return path;
    }
    return resolved;
}

}  // namespace vantor::platform
