// A files list as a download takes it: read once, whole, at the run's start. The start record
// names its lines, the checks before the port read their images, and the job sends them; a list
// rewritten during the run changes none of that.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/sha256.h"

namespace vantor::records {

// A list is taken only up to this size (a list of 128-character lines this long would name over
// 100,000 images); a larger one is refused as unreadable.
inline constexpr std::size_t kMostFilesListBytes = 16 * 1024 * 1024;

struct TakenFilesList {
    std::string path;
    // Why the list cannot be used at all: it cannot be opened, a read failed or it is too large;
    // empty when it was read whole.
    std::string problem;
    std::vector<std::string> lines;    // without their line ends, in file order
    std::optional<FileDigest> digest;  // of the bytes read; nothing when it was not read whole
};

// Opens the list as the job would (an existing regular file, locked against a second opener),
// reads it whole and closes it again. No path (a single image): an empty list with no path.
TakenFilesList TakeFilesList(const std::string& path);

// What keeps a taken list from being sent, found before any port opens.
struct FilesListFault {
    int exit_status = 0;
    std::string detail;  // names the list, and for a line its number and its text as written
};

// The first fault of the list: it cannot be read (4), it has no line at all (22), or a line has
// no four blanks between its file name and its path (4: a blank line, a comment, a single blank
// in their place). Nothing when every line can be split into a name and a path.
std::optional<FilesListFault> FilesListFaultOf(const TakenFilesList& list);

// Line `number` (from 1) of `list` as its faults name it: files list "PATH" line N "TEXT".
std::string FilesListLineName(const std::string& list, int number, const std::string& text);

// The same check for a files list given to a production line or to serve, which read the list
// in their stations: the fault of the list at `path`, or nothing.
std::optional<FilesListFault> FilesListFaultAt(const std::string& path);

}  // namespace vantor::records
