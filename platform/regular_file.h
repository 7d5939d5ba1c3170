// Opening a file that the program reads as data (an image, a files list) so that it never
// hangs on something that only looks like a file.
#pragma once

#include <string>

namespace vantor::platform {

// Opens the existing regular file at `path` without waiting on it: a FIFO, a device or a
// folder is refused. `read_write` opens it for reading and writing, else for reading only.
// `exclusive` also takes an exclusive lock on it without waiting, so that a file that another
// holder has locked is refused rather than read half written. Returns a C runtime descriptor
// (for fdopen and close; closing it releases the lock), or -1.
int OpenRegularFile(const std::string& path, bool read_write, bool exclusive);

}  // namespace vantor::platform
