// Windows opens a file without waiting on it whatever it is; what it is is looked at before
// anything is written.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/win/system_message.h"
#include "records/log_file.h"

namespace vantor::records {

Result<std::FILE*> OpenLogFile(const std::string& path) {
    int fd = -1;
    if (path == "-") {
        fd = ::_dup(::_fileno(stdout));
        if (fd < 0) {
            return Failure{std::strerror(errno)};
        }
    } else {
        const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return Failure{platform::SystemMessage(::GetLastError())};
        }
        // A disk file, not a pipe, a console or a comm port; then emptied.
        if (::GetFileType(file) != FILE_TYPE_DISK) {
            ::CloseHandle(file);
            return Failure{kLogNotRegularFile};
        }
        if (!::SetEndOfFile(file)) {
            const DWORD failure = ::GetLastError();
            ::CloseHandle(file);
            return Failure{platform::SystemMessage(failure)};
        }
        fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY);
        if (fd < 0) {
            ::CloseHandle(file);
            return Failure{std::strerror(errno)};
        }
    }
    std::FILE* stream = ::_fdopen(fd, "w");
    if (stream == nullptr) {
        const int failure = errno;
        ::_close(fd);
        return Failure{std::strerror(failure)};
    }
    return stream;
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size)) {
        return "";
    }
    return std::string(name, size);
}

}  // namespace vantor::records
