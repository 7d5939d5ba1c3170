#include "image/files_list.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantor {

namespace {

// A line without the separator is read as this job has always read it: an empty name and,
// as the path, the line without its first three characters.
constexpr std::size_t kNoSeparatorSkip = 3;

// Opens an existing regular file for reading and writing without blocking (a FIFO would
// otherwise hang the job on its first read) and takes an exclusive lock on it, so that a
// files list open elsewhere through the same lock is refused rather than read half written.
int OpenLockedRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace

std::optional<FilesListEntry> SplitAtSeparator(std::string_view line) {
    const std::size_t at = line.find(kFilesListSeparator);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return FilesListEntry{std::string(line.substr(0, at)),
                          std::string(line.substr(at + kFilesListSeparator.size()))};
}

FilesListEntry SplitJobLine(std::string_view line) {
    if (auto entry = SplitAtSeparator(line)) {
        return *entry;
    }
    const std::size_t skip = line.size() < kNoSeparatorSkip ? line.size() : kNoSeparatorSkip;
    return FilesListEntry{std::string(), std::string(line.substr(skip))};
}

FilesListFile::~FilesListFile() {
    Close();
}

bool FilesListFile::OpenForJob(const std::string& path) {
    Close();
    read_failed_ = false;
    const int fd = OpenLockedRegularFile(path);
    if (fd < 0) {
        return false;
    }
    file_ = ::fdopen(fd, "r+b");
    if (file_ == nullptr) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool FilesListFile::ReadLine(std::string& line) {
    line.clear();
    if (file_ == nullptr) {
        return false;
    }
    int c = std::getc(file_);
    while (c != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
        c = std::getc(file_);
    }
    if (c == EOF && std::ferror(file_) != 0) {
        read_failed_ = true;
        line.clear();
        return false;
    }
    if (c == EOF && line.empty()) {
        return false;
    }
    // CR LF ends a line as a bare LF does; a CR anywhere else is part of the line.
    if (c == '\n' && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

void FilesListFile::Close() {
    // Closing the descriptor releases the lock.
    if (file_ != nullptr) {
        std::fclose(file_);
    } else if (fd_ >= 0) {
        ::close(fd_);
    }
    file_ = nullptr;
    fd_ = -1;
}

}  // namespace vantor
