#include "platform/serial/uucp_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace vantor::platform {

namespace {

// A lock file holds one process ID; anything longer is not one.
constexpr std::size_t kMaxLockBytes = 64;
constexpr std::size_t kMaxProgramNameBytes = 64;
// The kernel keeps a process's short name in at most this many bytes.
constexpr std::size_t kKernelNameBytes = 15;

// The process ID a lock file names, or 0 when it names none (empty, binary or garbage).
pid_t ReadHolder(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return 0;
    }
    std::array<char, kMaxLockBytes + 1> text{};
    const ssize_t got = ::read(fd, text.data(), kMaxLockBytes);
    ::close(fd);
    if (got <= 0) {
        return 0;
    }
    char* end = nullptr;
    const long pid = std::strtol(text.data(), &end, 10);
    return pid > 0 && pid <= 0x3FFFFFFF ? static_cast<pid_t>(pid) : 0;
}

bool Running(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string HeldText(const std::string& path, pid_t pid, const std::string& file) {
    const std::string program = ProcessProgramName(pid);
    return "the device \"" + path + "\" is in use by process " + std::to_string(pid) +
           (program.empty() ? "" : " (" + program + ")") + ", which holds its lock file " + file;
}

std::string ResolvedPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string text = resolved;
    std::free(resolved);
    return text;
}

}  // namespace

namespace {

std::string ReadCommName(pid_t pid) {
    std::FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
    if (comm == nullptr) {
        return "";
    }
    std::array<char, kMaxProgramNameBytes> name{};
    const bool read = std::fgets(name.data(), name.size(), comm) != nullptr;
    std::fclose(comm);
    std::string text = read ? name.data() : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The file name of the program that the process runs, from the target of its exe link; empty
// when the link may not be read (another user's process).
std::string ReadExeName(pid_t pid) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(),
                                      target.data(), target.size() - 1);
    if (length <= 0) {
        return "";
    }
    std::string path(target.data(), static_cast<std::size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        path.resize(path.size() - kDeleted.size());
    }
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::string ProcessProgramName(pid_t pid) {
    // The kernel names a process after the file it was started by, cut to 15 bytes: a program
    // that starts itself again through /proc/self/exe (a production line's stations) is
    // "exe", one started from a descriptor a number. The exe link's target names the program
    // itself; the short name is kept where it says more (a script, named after itself rather
    // than after its interpreter).
    const std::string comm = ReadCommName(pid);
    const std::string exe = ReadExeName(pid);
    const bool cut = comm.size() == kKernelNameBytes && exe.rfind(comm, 0) == 0;
    const bool file_name_only =
        comm == "exe" || comm.find_first_not_of("0123456789") == std::string::npos;
    return !exe.empty() && (cut || file_name_only) ? exe : comm;
}

std::string LockDirectory() {
    const char* dir = std::getenv("VANTOR_LOCK_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/run/lock";
}

std::string LockFileName(const std::string& path) {
    std::string_view name = path;
    constexpr std::string_view kDev = "/dev/";
    if (name.substr(0, kDev.size()) == kDev) {
        name.remove_prefix(kDev.size());
    }
    std::string file = "LCK.." + std::string(name);
    for (char& c : file) {
        c = c == '/' ? '_' : c;
    }
    return file;
}

UucpLock::UucpLock(UucpLock&& other) noexcept : files_(std::exchange(other.files_, {})) {}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
    if (this != &other) {
        Release();
        files_ = std::exchange(other.files_, {});
    }
    return *this;
}

Result<void> UucpLock::Take(const std::string& path) {
    Release();
    const std::string dir = LockDirectory() + "/";
    const std::string given = dir + LockFileName(path);
    const std::string resolved = dir + LockFileName(ResolvedPath(path));
    Result<void> taken = TakeFile(path, given);
    if (taken && resolved != given) {
        taken = TakeFile(path, resolved);
    }
    if (!taken) {
        Release();
    }
    return taken;
}

Result<void> UucpLock::TakeFile(const std::string& path, const std::string& file) {
    // Two tries: the second after a stale lock was removed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd =
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            std::array<char, 16> text{};
            const int length = std::snprintf(text.data(), text.size(), "%10d\n", ::getpid());
            const bool written = ::write(fd, text.data(), static_cast<std::size_t>(length)) ==
                                 static_cast<ssize_t>(length);
            ::close(fd);
            if (!written) {
                ::unlink(file.c_str());
                return Failure{"cannot write the lock file " + file};
            }
            files_.push_back(file);
            return {};
        }
        if (errno != EEXIST) {
            // A folder that no one may lock in (missing, read-only, not ours): the exclusive
            // open still keeps other programs out.
            return {};
        }
        const pid_t holder = ReadHolder(file);
        if (holder != 0 && Running(holder)) {
            return Failure{HeldText(path, holder, file)};
        }
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            return Failure{"the device \"" + path + "\" has a stale lock file " + file +
                           " that cannot be removed"};
        }
    }
    return Failure{"the device \"" + path + "\" is being locked by another program"};
}

void UucpLock::Release() {
    for (const std::string& file : files_) {
        // Only a lock that is still ours is removed.
        if (ReadHolder(file) == ::getpid()) {
            ::unlink(file.c_str());
        }
    }
    files_.clear();
}

}  // namespace vantor::platform
