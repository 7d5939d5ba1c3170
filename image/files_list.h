// The files list: one image per line, the file name, four blanks, the full path.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

inline constexpr std::string_view kFilesListSeparator = "    ";

struct FilesListEntry {
    std::string Name;
    std::string Path;
};

// Splits a line at its first run of four blanks: the name before it, everything after it
// (verbatim, untrimmed) the path. Nothing when the line holds no such run.
std::optional<FilesListEntry> SplitAtSeparator(std::string_view line);

// The job's split: as SplitAtSeparator, and for a line without the separator an empty name
// and, as the path, the line without its first three characters.
FilesListEntry SplitJobLine(std::string_view line);

// The files list as the download job reads it: an existing file opened for reading and
// writing and not shared with other openers, read line by line (CR LF or LF line ends, a
// last line without one, any length).
class FilesListFile {
  public:
    FilesListFile() = default;
    ~FilesListFile();
    FilesListFile(const FilesListFile&) = delete;
    FilesListFile& operator=(const FilesListFile&) = delete;

    // Fails for a file that is missing, write-protected or open elsewhere.
    bool OpenForJob(const std::string& path);
    // After a failed OpenForJob: why the file could not be opened, in the system's words or as
    // what the path is instead; empty otherwise.
    const std::string& open_problem() const { return open_problem_; }
    // The next line without its line end; false after the last line.
    bool ReadLine(std::string& line);
    // The rest of the file's bytes, appended to `bytes`; false when a read fails or the file
    // holds more than `most_bytes`, which are then all that were read.
    bool ReadRest(std::string& bytes, std::size_t most_bytes);
    // True once a read has failed with an error rather than at the end of the file: the lines
    // after it were not read, so the list must not pass for done.
    bool ReadFailed() const { return read_failed_; }
    void Close();

  private:
    std::FILE* file_ = nullptr;
    int fd_ = -1;
    std::string open_problem_;
    bool read_failed_ = false;
};

}  // namespace vantor
