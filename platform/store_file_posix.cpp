// The settings store's file operations on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/store_file.h"

namespace vantor::platform {

namespace {

// Links followed at most, as the kernel's own limit on a path's links.
constexpr int kMostLinksFollowed = 40;

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The file that a write to `path` means: what a symbolic link there leads to, followed to its
// end (also when that file does not exist yet), or `path` itself.
std::string FinalTarget(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < kMostLinksFollowed; ++hop) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return current;
        }
        char target[4096];
        const ssize_t length = ::readlink(current.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
            return current;
        }
        const std::string next(target, static_cast<std::size_t>(length));
        current = next.front() == '/' ? next : ParentFolder(current) + "/" + next;
    }
    return current;  // a loop of links: the write then fails on it with ELOOP
}

// Whether the mode of an existing file lets this user write it. access() answers for everyone
// but the superuser, who may write any file: for it a file without a write bit for its owner is
// one that was made read-only on purpose.
bool ModeLetsUsWrite(const std::string& path, const struct stat& status) {
    if (::access(path.c_str(), W_OK) != 0) {
        return false;
    }
    return ::geteuid() != 0 || (status.st_mode & S_IWUSR) != 0;
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

StoreFileText ReadStoreFile(const std::string& path, std::size_t limit) {
    StoreFileText file;
    // Non-blocking, so that a FIFO without a writer does not hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        file.why = std::strerror(errno);
        file.state = errno == ENOENT ? StoreFileState::Missing : StoreFileState::Unreadable;
        return file;
    }
    struct stat status {};
    file.state = StoreFileState::Read;
    if (::fstat(fd, &status) != 0) {
        file.why = std::strerror(errno);
        file.state = StoreFileState::Unreadable;
    } else if (!S_ISREG(status.st_mode)) {
        file.why = "it is not a regular file";
        file.state = StoreFileState::NotAStore;
    } else if (status.st_size > static_cast<off_t>(limit)) {
        file.why = "it is larger than " + std::to_string(limit) + " bytes";
        file.state = StoreFileState::NotAStore;
    }
    char chunk[4096];
    while (file.state == StoreFileState::Read) {
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            file.why = std::strerror(errno);
            file.state = StoreFileState::Unreadable;
        } else if (got == 0) {
            break;
        } else if (file.text.size() + static_cast<std::size_t>(got) > limit) {
            // It grew while being read.
            file.why = "it is larger than " + std::to_string(limit) + " bytes";
            file.state = StoreFileState::NotAStore;
        } else {
            file.text.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return file;
}

bool IsRegularFile(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string DefaultStorePath() {
    if (std::string config = EnvOrEmpty("XDG_CONFIG_HOME"); !config.empty()) {
        return config + "/vantor/registry";
    }
    return EnvOrEmpty("HOME") + "/.config/vantor/registry";
}

bool Writable(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

std::string ParentFolder(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p: creates every missing folder of `folder`.
void MakeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        ::mkdir(folder.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) {
            return;
        }
    }
}

StoreLock::StoreLock(const std::string& store_path) {
    // Every writer of a shared store takes the same lock, whichever link it came through.
    const int fd =
        ::open((FinalTarget(store_path) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        lock_ = fd;
        held_ = true;
    }
}

StoreLock::~StoreLock() {
    if (held_) {
        ::close(static_cast<int>(lock_));  // closing the descriptor releases the lock
    }
}

// link() refuses an existing name, so an earlier damaged copy is kept as well.
bool MoveAside(const std::string& store_path) {
    const std::string path = FinalTarget(store_path);
    const std::string stem = path + ".corrupt-" + std::to_string(std::time(nullptr));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string aside = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        if (::link(path.c_str(), aside.c_str()) == 0) {
            ::unlink(path.c_str());
            std::fprintf(stderr,
                         "vantor: the settings store %s could not be read; it was kept as %s and "
                         "a new store is written in its place\n",
                         path.c_str(), aside.c_str());
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

Result<void> CheckReplaceable(const std::string& path) {
    const std::string target = FinalTarget(path);
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0 || ModeLetsUsWrite(target, status)) {
        return {};
    }
    return Failure{"it is read-only (mode " + ModeText(status.st_mode) + ")"};
}

Result<void> WriteFileAtomically(const std::string& link_path, const std::string& text) {
    static std::atomic<unsigned> serial{0};
    if (Result<void> replaceable = CheckReplaceable(link_path); !replaceable) {
        return replaceable;
    }
    const std::string path = FinalTarget(link_path);
    struct stat old_status {};
    const bool replacing = ::stat(path.c_str(), &old_status) == 0;
    const std::string temp =
        path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    const auto fail = [](int failure) { return Failure{std::strerror(failure)}; };
    // The mode before the umask is that of any file the user writes.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail(errno);
    }
    std::size_t done = 0;
    int failure = 0;
    // The new file takes the old one's mode, so that a store kept private stays private.
    if (replacing && ::fchmod(fd, old_status.st_mode & 07777) != 0) {
        failure = errno;
    }
    while (failure == 0 && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (failure == 0 && ::fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && std::rename(temp.c_str(), path.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        std::remove(temp.c_str());
        return fail(failure);
    }
    return {};
}

}  // namespace vantor::platform
