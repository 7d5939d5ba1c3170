// The lock files by which serial programs on this system (ser2net, minicom, the UUCP tools) say
// that a device is theirs: /run/lock/LCK..ttyUSB0, holding the owner's process ID as ten
// decimal digits and a line feed. A lock whose owner is no longer running is stale and removed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/result.h"

namespace vantor::platform {

// The folder of the lock files: $VANTOR_LOCK_DIR when set (tests), else /run/lock.
std::string LockDirectory();

// The lock file's name for a device path, as ser2net names it: "LCK.." and the path without
// its "/dev/", slashes as underscores ("/dev/ttyUSB0" gives "LCK..ttyUSB0", "/dev/pts/3"
// "LCK..pts_3", "/srv/port" "LCK.._srv_port").
std::string LockFileName(const std::string& path);

// The name of the program that process `pid` runs, as ps shows it, or the file name of that
// program where the short name only says how it was started ("exe" for a program started
// through /proc/self/exe); empty when the process cannot be looked at.
std::string ProcessProgramName(pid_t pid);

// A lock taken for one device, removed again when the object goes.
class UucpLock {
  public:
    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&& other) noexcept;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock for the device at `path`, under its name as given and, when that is a link,
    // under the name of the device it leads to, since another program may name it either way.
    // Succeeds when the lock is this process's now, or when the folder does not let anyone
    // lock (then the exclusive open is the only guard); otherwise fails with the reason the
    // device is taken, naming the holder's process ID and program when they are known.
    Result<void> Take(const std::string& path);
    void Release();

  private:
    Result<void> TakeFile(const std::string& path, const std::string& file);

    std::vector<std::string> files_;
};

}  // namespace vantor::platform
