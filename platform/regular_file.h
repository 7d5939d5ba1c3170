// Opening a file that the program reads as data (an image, a files list) so that it never
// hangs on something that only looks like a file.
#pragma once

#include <string>

#include "platform/result.h"

namespace vantor::platform {

// Opens the existing regular file at `path` without waiting on it: a FIFO, a device or a
// folder is refused. `read_write` opens it for reading and writing, else for reading only.
// `exclusive` also takes an exclusive lock on it without waiting, so that a file that another
// holder has locked is refused rather than read half written. Returns a C runtime descriptor
// (for fdopen and close; closing it releases the lock), or -1.
int OpenRegularFile(const std::string& path, bool read_write, bool exclusive);

// True when the last component of `path` is one of the names Windows keeps for its devices
// wherever they appear (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in any case and with
// any extension): opening it opens the device, not a file.
bool IsWindowsDeviceName(const std::string& path);
// What is said of such a path: its last component is a device name, and another is needed.
std::string DeviceNameText(const std::string& path);
// Succeeds when `path` may be a file of this system's; on Windows fails for a device name, with
// DeviceNameText. Elsewhere those names are ordinary file names.
Result<void> CheckFileName(const std::string& path);

}  // namespace vantor::platform
