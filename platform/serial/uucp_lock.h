// The lock files by which serial programs on this system (ser2net, minicom, the UUCP tools) say
// that a device is theirs: /run/lock/LCK..ttyUSB0, holding the owner's process ID as ten
// decimal digits and a line feed. A lock whose owner is no longer running is stale and removed.
#pragma once

#include <optional>
#include <string>

namespace vantor::platform {

// The folder of the lock files: $VANTOR_LOCK_DIR when set (tests), else /run/lock.
std::string LockDirectory();

// The lock file's name for a device path: "LCK.." and the device's name under /dev, its slashes
// as underscores ("/dev/ttyUSB0" gives "LCK..ttyUSB0", "/dev/pts/3" "LCK..pts_3"). `path` is
// the device's own path, its links resolved.
std::string LockFileName(const std::string& path);

// A lock taken for one device, removed again when the object goes.
class UucpLock {
  public:
    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&& other) noexcept;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock for the device at `path` (links resolved first). Returns nothing when the
    // lock is this process's now, or when the folder does not let anyone lock (then the
    // exclusive open is the only guard); otherwise the reason the device is taken, naming the
    // holder's process ID and program when they are known.
    std::optional<std::string> Take(const std::string& path);
    void Release();

  private:
    std::string file_;
};

}  // namespace vantor::platform
