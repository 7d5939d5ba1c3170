// The look for another process that holds a serial device open, through /proc, before the
// device is opened: a terminal program or ModemManager would share the line with the drive.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial/buffered_serial_device.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/uucp_lock.h"

namespace vantor::platform {

namespace {

// Every process's open descriptors are looked at through /proc/PID/fd, at most this many in
// all, and a process's ancestors up to this depth.
constexpr int kMaxDescriptorsLooked = 1 << 20;
constexpr std::size_t kMaxAncestors = 256;

bool IsProcessNumber(const char* name) {
    return *name != '\0' && std::strspn(name, "0123456789") == std::strlen(name);
}

// The parent of process `pid`, from the fourth field of /proc/PID/stat (after the name in
// parentheses, which may itself hold blanks and parentheses); 0 when it cannot be read.
pid_t ParentOf(pid_t pid) {
    std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
    if (stat == nullptr) {
        return 0;
    }
    std::array<char, 1024> line{};
    const std::size_t got = std::fread(line.data(), 1, line.size() - 1, stat);
    std::fclose(stat);
    const std::string text(line.data(), got);
    const std::size_t name_end = text.rfind(')');
    if (name_end == std::string::npos) {
        return 0;
    }
    char state = 0;
    int parent = 0;
    if (std::sscanf(text.c_str() + name_end + 1, " %c %d", &state, &parent) != 2) {
        return 0;
    }
    return parent;
}

// This process's ancestors: a terminal program that holds the port and runs a transfer
// program on it (minicom does), or a test holding both ends of a pty, hands the port over.
std::vector<pid_t> Ancestors() {
    std::vector<pid_t> ancestors;
    for (pid_t pid = ::getppid(); pid > 0 && ancestors.size() < kMaxAncestors;
         pid = ParentOf(pid)) {
        ancestors.push_back(pid);
    }
    return ancestors;
}

// Whether process `pid` has a descriptor open on a file that one of `names` names. Only the
// links are read, never what they lead to; `budget` bounds the descriptors looked at.
bool HoldsOpen(const std::string& pid, const std::vector<std::string>& names, int& budget) {
    const std::string folder = "/proc/" + pid + "/fd";
    DIR* descriptors = ::opendir(folder.c_str());
    if (descriptors == nullptr) {
        return false;  // gone, or another user's and not ours to look at
    }
    bool holds = false;
    std::array<char, PATH_MAX> target{};
    while (!holds && budget > 0) {
        const dirent* entry = ::readdir(descriptors);
        if (entry == nullptr) {
            break;
        }
        --budget;
        const ssize_t length =
            ::readlinkat(::dirfd(descriptors), entry->d_name, target.data(), target.size() - 1);
        if (length > 0) {
            const std::string opened(target.data(), static_cast<std::size_t>(length));
            holds = std::find(names.begin(), names.end(), opened) != names.end();
        }
    }
    ::closedir(descriptors);
    return holds;
}

// The number N of the pseudo-terminal whose terminal side `path` leads to (/dev/pts/N); nothing
// for any other device.
std::optional<long> PtyNumber(const std::string& path) {
    constexpr std::string_view kPtsFolder = "/dev/pts/";
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    const std::string real(resolved);
    std::free(resolved);
    if (real.rfind(kPtsFolder, 0) != 0 || real.size() == kPtsFolder.size() ||
        !IsProcessNumber(real.c_str() + kPtsFolder.size())) {
        return std::nullopt;
    }
    return std::strtol(real.c_str() + kPtsFolder.size(), nullptr, 10);
}

// The pseudo-terminal number that the kernel gives for descriptor `fd` of process `pid` when it
// is a master side (its fdinfo's "tty-index"); -1 otherwise.
long MasterIndex(const std::string& pid, const char* fd) {
    std::FILE* info = std::fopen(("/proc/" + pid + "/fdinfo/" + fd).c_str(), "re");
    if (info == nullptr) {
        return -1;
    }
    long index = -1;
    std::array<char, 256> line{};
    while (index < 0 && std::fgets(line.data(), static_cast<int>(line.size()), info) != nullptr) {
        std::sscanf(line.data(), "tty-index: %ld", &index);
    }
    std::fclose(info);
    return index;
}

// Whether process `pid` holds the master side of pseudo-terminal `number`: it is the line's far
// end. `budget` bounds the descriptors looked at, as in HoldsOpen.
bool HoldsMasterOf(const std::string& pid, long number, int& budget) {
    DIR* descriptors = ::opendir(("/proc/" + pid + "/fd").c_str());
    if (descriptors == nullptr) {
        return false;
    }
    bool holds = false;
    std::array<char, PATH_MAX> target{};
    while (!holds && budget > 0) {
        const dirent* entry = ::readdir(descriptors);
        if (entry == nullptr) {
            break;
        }
        --budget;
        const ssize_t length =
            ::readlinkat(::dirfd(descriptors), entry->d_name, target.data(), target.size() - 1);
        const std::string opened(target.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
        holds = (opened == "/dev/ptmx" || opened == "/dev/pts/ptmx") &&
                MasterIndex(pid, entry->d_name) == number;
    }
    ::closedir(descriptors);
    return holds;
}

// Whether the device at `path` may be a terminal, by what the system says of it without opening
// it: a character device, of the tty class where sysfs names its class (pty slaves have none).
// Many programs hold /dev/null and its like open at once, and sharing those harms no one.
bool MayBeTerminal(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    const std::string subsystem = "/sys/dev/char/" + std::to_string(major(info.st_rdev)) + ":" +
                                  std::to_string(minor(info.st_rdev)) + "/subsystem";
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(subsystem.c_str(), target.data(), target.size() - 1);
    if (length <= 0) {
        return true;
    }
    const std::string class_path(target.data(), static_cast<std::size_t>(length));
    return class_path.substr(class_path.rfind('/') + 1) == "tty";
}

}  // namespace

std::optional<std::string> FindOtherHolder(const std::string& path) {
    if (!MayBeTerminal(path)) {
        return std::nullopt;
    }
    std::vector<std::string> names = {path};
    if (char* resolved = ::realpath(path.c_str(), nullptr); resolved != nullptr) {
        names.emplace_back(resolved);
        std::free(resolved);
    }
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return std::nullopt;
    }
    const std::string self = std::to_string(::getpid());
    const std::vector<pid_t> ancestors = Ancestors();
    const std::optional<long> pty = PtyNumber(path);
    int budget = kMaxDescriptorsLooked;
    std::optional<std::string> holder;
    while (!holder && budget > 0) {
        const dirent* entry = ::readdir(processes);
        if (entry == nullptr) {
            break;
        }
        if (!IsProcessNumber(entry->d_name) || entry->d_name == self) {
            continue;
        }
        const auto pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (std::find(ancestors.begin(), ancestors.end(), pid) != ancestors.end() ||
            !HoldsOpen(entry->d_name, names, budget) ||
            (pty && HoldsMasterOf(entry->d_name, *pty, budget))) {
            continue;
        }
        const std::string program = ProcessProgramName(pid);
        holder = "the device " + Quoted(path) + " is in use by process " + entry->d_name +
                 (program.empty() ? "" : " (" + program + ")") + ", which has it open";
    }
    ::closedir(processes);
    return holder;
}

}  // namespace vantor::platform
