// Windows opens a file without waiting on it whatever it is; a share mode of none is the
// exclusive lock.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/regular_file.h"

namespace vantor::platform {

Result<void> CheckFileName(const std::string& path) {
    if (!IsWindowsDeviceName(path)) {
        return {};
    }
    return Failure{DeviceNameText(path)};
}

int OpenRegularFile(const std::string& path, bool read_write, bool exclusive) {
    // A device name would open the device itself (a comm port, the console), whatever folder
    // it is given in.
    if (IsWindowsDeviceName(path)) {
        return -1;
    }
    const DWORD access = GENERIC_READ | (read_write ? GENERIC_WRITE : 0);
    const DWORD share = exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE file = ::CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // A disk file, not a pipe, a console or a comm port.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file),
                                     (read_write ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
    }
    return fd;
}

}  // namespace vantor::platform
