#include "image/files_list.h"

#include <unistd.h>

#include <cerrno>

#include "image/file_kind.h"
#include "platform/regular_file.h"

namespace vantor {

namespace {

// A line without the separator is read as this job has always read it: an empty name and,
// as the path, the line without its first three characters.
constexpr std::size_t kNoSeparatorSkip = 3;

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
    open_problem_.clear();
    // Locked, so that a files list open elsewhere through the same lock is refused rather than
    // read half written. A refused folder, pipe or device leaves errno as it was.
    errno = 0;
    const int fd = platform::OpenRegularFile(path, true, true);
    if (fd < 0) {
        open_problem_ = OpenProblem(path, errno);
        return false;
    }
    file_ = ::fdopen(fd, "r+b");
    if (file_ == nullptr) {
        open_problem_ = OpenProblem(path, errno);
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

bool FilesListFile::ReadRest(std::string& bytes, std::size_t most_bytes) {
    if (file_ == nullptr) {
        return false;
    }
    char buffer[16 * 1024];
    std::size_t got = 0;
    while (bytes.size() <= most_bytes && (got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
        bytes.append(buffer, got);
    }
    if (std::ferror(file_) != 0) {
        read_failed_ = true;
        return false;
    }
    return bytes.size() <= most_bytes;
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
