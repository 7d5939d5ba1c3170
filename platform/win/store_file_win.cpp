// The settings store's file operations on Windows: the store lives under %APPDATA%, the lock
// is a byte range lock on the lock file, and the atomic replacement is MoveFileEx.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/store_file.h"
#include "platform/win/system_message.h"

namespace vantor::platform {

namespace {

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

StoreFileText ReadStoreFile(const std::string& path, std::size_t limit) {
    StoreFileText file;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        file.why = "it is not a regular file";
        file.state = StoreFileState::NotAStore;
        return file;
    }
    // Opening never waits on Windows, whatever the name stands for; what it is is looked at
    // before any byte is read.
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        file.why = SystemMessage(error);
        file.state = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                         ? StoreFileState::Missing
                         : StoreFileState::Unreadable;
        return file;
    }
    file.state = StoreFileState::Read;
    LARGE_INTEGER size{};
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        file.why = "it is not a regular file";
        file.state = StoreFileState::NotAStore;
    } else if (!::GetFileSizeEx(handle, &size)) {
        file.why = SystemMessage(::GetLastError());
        file.state = StoreFileState::Unreadable;
    } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        file.why = "it is larger than " + std::to_string(limit) + " bytes";
        file.state = StoreFileState::NotAStore;
    }
    char chunk[4096];
    while (file.state == StoreFileState::Read) {
        DWORD got = 0;
        if (!::ReadFile(handle, chunk, sizeof(chunk), &got, nullptr)) {
            file.why = SystemMessage(::GetLastError());
            file.state = StoreFileState::Unreadable;
        } else if (got == 0) {
            break;
        } else if (file.text.size() + got > limit) {
            // It grew while being read.
            file.why = "it is larger than " + std::to_string(limit) + " bytes";
            file.state = StoreFileState::NotAStore;
        } else {
            file.text.append(chunk, got);
        }
    }
    ::CloseHandle(handle);
    return file;
}

bool IsRegularFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    constexpr DWORD kNotRegular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotRegular) == 0;
}

std::string DefaultStorePath() {
    std::string folder = EnvOrEmpty("APPDATA");
    if (folder.empty()) {
        folder = EnvOrEmpty("USERPROFILE") + "\\AppData\\Roaming";
    }
    return folder + "\\vantor\\registry";
}

std::string ParentFolder(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        return ".";
    }
    // "C:\store" lives in "C:\", "\store" in "\".
    if (slash == 0 || (slash == 2 && path[1] == ':')) {
        return path.substr(0, slash + 1);
    }
    return path.substr(0, slash);
}

void MakeFolders(const std::string& folder) {
    for (std::size_t i = 1; i <= folder.size(); ++i) {
        if (i == folder.size() || IsSeparator(folder[i])) {
            const std::string part = folder.substr(0, i);
            // A drive ("C:") or a share's root is there already.
            if (!part.empty() && part.back() != ':' && !IsSeparator(part.back())) {
                ::CreateDirectoryA(part.c_str(), nullptr);
            }
        }
    }
}

bool Writable(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    // The read-only attribute of a folder does not stop files being made in it.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

StoreLock::StoreLock(const std::string& store_path) {
    const HANDLE file = ::CreateFileA((store_path + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    OVERLAPPED at{};
    // Waits for another instance's lock on the same byte; closing the handle releases it.
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        ::CloseHandle(file);
        return;
    }
    lock_ = reinterpret_cast<long long>(file);
    held_ = true;
}

StoreLock::~StoreLock() {
    if (held_) {
        ::CloseHandle(reinterpret_cast<HANDLE>(lock_));
    }
}

bool MoveAside(const std::string& path) {
    const std::string stem = path + ".corrupt-" + std::to_string(std::time(nullptr));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string aside = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        // Without MOVEFILE_REPLACE_EXISTING an existing name is refused and kept.
        if (::MoveFileExA(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
            std::fprintf(stderr,
                         "vantor: the settings store %s could not be read; it was kept as %s and "
                         "a new store is written in its place\n",
                         path.c_str(), aside.c_str());
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

Result<void> CheckReplaceable(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return {};
    }
    // The rename over it would be refused as well.
    return Failure{"it is read-only"};
}

Result<void> WriteFileAtomically(const std::string& path, const std::string& text) {
    static std::atomic<unsigned> serial{0};
    const std::string temp =
        path + ".tmp-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++);
    const auto fail = [](DWORD failure) { return Failure{SystemMessage(failure)}; };
    const HANDLE file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return fail(::GetLastError());
    }
    std::size_t done = 0;
    DWORD failure = ERROR_SUCCESS;
    while (done < text.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
        if (!::WriteFile(file, text.data() + done, chunk, &wrote, nullptr)) {
            failure = ::GetLastError();
            break;
        }
        if (wrote == 0) {
            failure = ERROR_DISK_FULL;
            break;
        }
        done += wrote;
    }
    if (failure == ERROR_SUCCESS && !::FlushFileBuffers(file)) {
        failure = ::GetLastError();
    }
    if (!::CloseHandle(file) && failure == ERROR_SUCCESS) {
        failure = ::GetLastError();
    }
    if (failure == ERROR_SUCCESS &&
        !::MoveFileExA(temp.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        failure = ::GetLastError();
    }
    if (failure != ERROR_SUCCESS) {
        ::DeleteFileA(temp.c_str());
        return fail(failure);
    }
    return {};
}

}  // namespace vantor::platform
