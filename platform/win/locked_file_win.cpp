// The locked file on Windows: a share mode that admits no other reader or writer is the lock,
// the replacement is MoveFileEx. A file still open cannot be renamed over, so the lock is let
// go once the new file is whole on the disk, just before the rename; an opener that comes in
// between holds the old list whole, and the rename then fails as a sharing violation.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/locked_file.h"

namespace vantor::platform {
namespace {

HANDLE AsHandle(long long handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

// The errno value that stands for a Windows error, as the callers' messages know them.
int ErrnoFor(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EBUSY;
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
        case ERROR_GEN_FAILURE:
            return EIO;
        default:
            return EINVAL;
    }
}

bool ReadAllFrom(HANDLE file, std::string& bytes) {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    char buffer[8192];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        bytes.append(buffer, got);
    }
}

// Writes `bytes` from the start and cuts the file there; 0 or the Windows error.
DWORD WriteWhole(HANDLE file, const std::string& bytes) {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return ::GetLastError();
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr)) {
            return ::GetLastError();
        }
        if (wrote == 0) {
            return ERROR_DISK_FULL;
        }
        done += wrote;
    }
    if (!::SetEndOfFile(file) || !::FlushFileBuffers(file)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

}  // namespace

LockedFile::~LockedFile() {
    Close();
}

void LockedFile::Close() {
    if (handle_ != -1) {
        ::CloseHandle(AsHandle(handle_));
        handle_ = -1;
    }
}

int LockedFile::Open(const std::string& path) {
    Close();
    // A folder does not open without backup semantics: it is refused as access denied.
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ErrnoFor(::GetLastError());
    }
    // A disk file, not a pipe, a console or a comm port.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return EACCES;
    }
    handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(file));
    return 0;
}

bool LockedFile::ReadAll(std::string& bytes) {
    return handle_ != -1 && ReadAllFrom(AsHandle(handle_), bytes);
}

int LockedFile::RewriteInPlace(const std::string& bytes) {
    std::string old_bytes;
    if (!ReadAll(old_bytes)) {
        return handle_ == -1 ? EBADF : ErrnoFor(::GetLastError());
    }
    const DWORD error = WriteWhole(AsHandle(handle_), bytes);
    if (error == ERROR_SUCCESS) {
        return 0;
    }
    WriteWhole(AsHandle(handle_), old_bytes);
    return ErrnoFor(error);
}

int LockedFile::ReplaceWith(const std::string& target, const std::string& bytes) {
    if (handle_ == -1) {
        return EBADF;
    }
    static std::atomic<unsigned> serial{0};
    const std::string temp_path =
        target + ".tmp-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++);
    const HANDLE temp = ::CreateFileA(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp == INVALID_HANDLE_VALUE) {
        return kNoFileBeside;
    }
    DWORD error = WriteWhole(temp, bytes);
    if (!::CloseHandle(temp) && error == ERROR_SUCCESS) {
        error = ::GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        Close();
        if (!::MoveFileExA(temp_path.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            error = ::GetLastError();
        }
    }
    if (error != ERROR_SUCCESS) {
        ::DeleteFileA(temp_path.c_str());
        return ErrnoFor(error);
    }
    return 0;
}

// A rename over a symbolic link would replace the link: its target is the file to replace.
std::string LinkTarget(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_symlink(path, error)) {
        return path;
    }
    const std::filesystem::path target = std::filesystem::canonical(path, error);
    return error ? path : target.string();
}

}  // namespace vantor::platform
