// The files list as an editor handles it (the window's Advanced options dialog): the loader
// that fills the dialog's table and the writer that saves the table on OK. Plain C++ beside the
// job's reader, so that the fuzzers and the tests reach it without the window.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "image/files_list.h"

namespace vantor {

// The dialog's loader refuses longer lines; the line end is not counted.
inline constexpr std::size_t kDialogLineLimit = 128;
// The file error's reason is read into a buffer of this many characters, the last one the end.
inline constexpr std::size_t kFileErrorReasonBuffer = 1024;

struct LoadedFilesList {
    bool opened = false;                  // false: the file could not be opened or created
    std::vector<FilesListEntry> entries;  // the good lines, in file order
    int bad_lines = 0;                    // lines too long, without a separator or a name
};

// Opens the list for reading and writing, creating it empty when it is missing, with an
// exclusive lock so that a running job's reader and a second dialog keep off it while it is
// read. The file is closed again before this returns.
LoadedFilesList LoadDialogFilesList(const std::string& path);

// The lines of `bytes` as the dialog reads them: LF or CR LF line ends, a last line without
// a line end still a line.
std::vector<std::string> SplitFileLines(const std::string& bytes);

// The file's bytes for these rows: name, four blanks, path, CR LF per row; no rows, no bytes.
std::string FormatFilesList(const std::vector<FilesListEntry>& rows);

// Why the files list was not saved.
struct FilesListNotSaved {
    int error_number = 0;  // the errno of the step that failed
    // What the error concerns: the list, or its folder when neither way of writing worked.
    std::string path;
};

// Writes the rows to a temporary file beside the list and renames it over the list, so a
// write that fails part way leaves the old list as it was. When no file can be made beside
// the list, the list is written in place, and put back as it was when that fails part way. A
// symbolic link is followed and its target replaced. Nothing on success, otherwise why not.
std::optional<FilesListNotSaved> SaveDialogFilesList(const std::string& path,
                                                     const std::vector<FilesListEntry>& rows);

// A description of a file error for a path, such as "Access to /x/y was denied.", cut to fit
// the reason buffer (at most kFileErrorReasonBuffer - 1 characters).
std::string FileErrorReason(int error_number, const std::string& path);

}  // namespace vantor
