// A regular file held open for reading and writing under an exclusive lock, as the Advanced
// dialog holds the files list while it reads or replaces it. The systems lock and replace files
// differently: one source file per system.
#pragma once

#include <string>

namespace vantor::platform {

// LockedFile::ReplaceWith's answer when no new file could be made beside the file.
inline constexpr int kNoFileBeside = -1;

class LockedFile {
  public:
    LockedFile() = default;
    ~LockedFile();
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Opens `path`, creating it empty when it is missing, without waiting on it (a FIFO cannot
    // hang the caller), takes only a regular file (anything else is EACCES) and locks it
    // exclusively without waiting (another holder is EWOULDBLOCK or EBUSY). 0, or the errno
    // value of the step that failed.
    int Open(const std::string& path);
    // The whole content, read from the start; false when a read fails.
    bool ReadAll(std::string& bytes);
    // Writes `bytes` over the content and cuts it there. When a write fails part way the old
    // bytes go back where they were: their room on the disk is the file's already. 0 or errno.
    int RewriteInPlace(const std::string& bytes);
    // Replaces the file at `target` (the file held here, or what a link to it names) with
    // `bytes` through a new file beside it with the same permissions, flushed to the disk and
    // renamed over it. kNoFileBeside when no file can be made beside it: the file is still
    // held then. 0 or errno otherwise; the file may no longer be held after that.
    int ReplaceWith(const std::string& target, const std::string& bytes);

  private:
    void Close();

    long long handle_ = -1;  // the descriptor or the HANDLE
};

// The file that a symbolic link at `path` points to; `path` itself when it is no link.
std::string LinkTarget(const std::string& path);

}  // namespace vantor::platform
