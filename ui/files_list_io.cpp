// The Advanced options dialog's loader and writer for the files list.
#include "ui/files_list_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace vantor::ui {
namespace {

// Closes a descriptor on every way out of the function that opened it.
class ScopedFd {
  public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and gives close's own errno (0 on success), which can report a late write
    // error on some file systems.
    int CloseNow() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TempFileGuard {
  public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    ~TempFileGuard() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

// Another opener holding the lock counts as the file being open elsewhere.
int LockExclusive(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Opens without blocking, so a FIFO named as the list cannot hang the dialog, and takes only
// regular files: anything else is refused as access denied.
int OpenLocked(const std::string& path, int& fd_out) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    ScopedFd file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return EACCES;
    }
    if (const int lock_error = LockExclusive(fd); lock_error != 0) {
        return lock_error;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    fd_out = file.Release();
    return 0;
}

bool ReadAll(int fd, std::string& bytes) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return 0;
}

// The list may be a symbolic link into a shared folder; replacing the link itself would cut
// the list off from its real place, so the link's target is the file to replace.
std::string ResolveTarget(const std::string& path) {
    struct stat link_status {};
    if (::lstat(path.c_str(), &link_status) != 0 || !S_ISLNK(link_status.st_mode)) {
        return path;
    }
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return path;
    }
    return resolved;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename is only durable once the folder's entry is on the disk too; a failure here
// loses nothing that the rename did not already settle, so it is not reported.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// ReplaceFile's answer when no temporary file could be made beside the target.
constexpr int kNoTempFile = -1;

// Writes `bytes` over the open list. When a write fails part way, the old bytes go back where
// they were: their room on the disk is the list's already, so that rewrite needs none.
int RewriteInPlace(int fd, const std::string& bytes) {
    std::string old_bytes;
    if (::lseek(fd, 0, SEEK_SET) != 0 || !ReadAll(fd, old_bytes)) {
        return errno;
    }
    int error = 0;
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        error = errno;
    } else if ((error = WriteAll(fd, bytes)) == 0) {
        if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0) {
            error = errno;
        }
        if (error == 0) {
            return 0;
        }
    }
    if (::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, old_bytes) == 0) {
        (void)::ftruncate(fd, static_cast<off_t>(old_bytes.size()));
        (void)::fsync(fd);
    }
    return error;
}

// Writes the bytes to a new file beside `target` with the target's permissions, and renames
// it over the target. kNoTempFile when the new file cannot be made.
int ReplaceFile(const std::string& target, mode_t mode, const std::string& bytes) {
    std::string temp_path = target + ".XXXXXX";
    const int temp_fd = ::mkostemp(temp_path.data(), O_CLOEXEC);
    if (temp_fd < 0) {
        return kNoTempFile;
    }
    ScopedFd temp(temp_fd);
    TempFileGuard remove_temp(temp_path);
    if (::fchmod(temp.get(), mode) != 0) {
        return errno;
    }
    if (const int write_error = WriteAll(temp.get(), bytes); write_error != 0) {
        return write_error;
    }
    if (::fsync(temp.get()) != 0) {
        return errno;
    }
    if (const int close_error = temp.CloseNow(); close_error != 0) {
        return close_error;
    }
    if (::rename(temp_path.c_str(), target.c_str()) != 0) {
        return errno;
    }
    remove_temp.Release();
    SyncFolder(FolderOf(target));
    return 0;
}

}  // namespace

std::vector<std::string> SplitFileLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        const bool has_line_end = end != std::string::npos;
        if (!has_line_end) {
            end = bytes.size();
        }
        std::size_t text_end = end;
        if (has_line_end && text_end > start && bytes[text_end - 1] == '\r') {
            --text_end;
        }
        lines.emplace_back(bytes, start, text_end - start);
        start = has_line_end ? end + 1 : end;
    }
    return lines;
}

LoadedFilesList LoadDialogFilesList(const std::string& path) {
    LoadedFilesList loaded;
    int fd = -1;
    if (OpenLocked(path, fd) != 0) {
        return loaded;
    }
    ScopedFd file(fd);
    std::string bytes;
    if (!ReadAll(file.get(), bytes)) {
        return loaded;
    }
    loaded.opened = true;
    for (const std::string& line : SplitFileLines(bytes)) {
        std::optional<FilesListEntry> entry;
        if (line.size() <= kDialogLineLimit) {
            entry = SplitAtSeparator(line);
        }
        if (entry && !entry->Name.empty()) {
            loaded.entries.push_back(std::move(*entry));
        } else {
            ++loaded.bad_lines;
        }
    }
    return loaded;
}

std::string FormatFilesList(const std::vector<FilesListEntry>& rows) {
    std::string bytes;
    for (const FilesListEntry& row : rows) {
        bytes += row.Name;
        bytes += kFilesListSeparator;
        bytes += row.Path;
        bytes += "\r\n";
    }
    return bytes;
}

int SaveDialogFilesList(const std::string& path, const std::vector<FilesListEntry>& rows,
                        std::string* failed_path) {
    const std::string target = ResolveTarget(path);
    if (failed_path != nullptr) {
        *failed_path = path;
    }
    // Holding the old list open and locked keeps a running job's reader, which locks it too,
    // from being cut off, and refuses a list that is write-protected, as the old list would
    // have been truncated in place otherwise.
    int fd = -1;
    if (const int open_error = OpenLocked(target, fd); open_error != 0) {
        return open_error;
    }
    ScopedFd old_list(fd);
    struct stat status {};
    if (::fstat(old_list.get(), &status) != 0) {
        return errno;
    }
    const std::string bytes = FormatFilesList(rows);
    const int replace_error = ReplaceFile(target, status.st_mode & 07777, bytes);
    if (replace_error != kNoTempFile) {
        return replace_error;
    }
    // No file can be made beside the list (a folder the user may not write, a name too long
    // for a suffix): the list, which is writable, is written in place.
    const int in_place_error = RewriteInPlace(old_list.get(), bytes);
    if (in_place_error != 0 && failed_path != nullptr) {
        *failed_path = FolderOf(target);
    }
    return in_place_error;
}

std::string FileErrorReason(int error_number, const std::string& path) {
    std::string before;
    std::string after;
    switch (error_number) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            after = " contains an invalid path.";
            break;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            before = "Access to ";
            after = " was denied.";
            break;
        case EMFILE:
        case ENFILE:
            after = " could not be opened because there are too many open files.";
            break;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            before = "Disk full while accessing ";
            after = ".";
            break;
        case EIO:
            before = "A hardware I/O error was reported while accessing ";
            after = ".";
            break;
        case EWOULDBLOCK:
        case EBUSY:
        case ETXTBSY:
            before = "A sharing violation occurred while accessing ";
            after = ".";
            break;
        default:
            before = "An unexpected error occurred while accessing ";
            after = ".";
            break;
    }
    std::string reason = before + path + after;
    if (reason.size() > kFileErrorReasonBuffer - 1) {
        reason.resize(kFileErrorReasonBuffer - 1);
    }
    return reason;
}

}  // namespace vantor::ui
