// The files list's loader and writer for the Advanced options dialog.
#include "image/files_list_io.h"

#include <cerrno>

#include "platform/locked_file.h"
#include "platform/store_file.h"

namespace vantor {

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
    platform::LockedFile file;
    if (file.Open(path) != 0) {
        return loaded;
    }
    std::string bytes;
    if (!file.ReadAll(bytes)) {
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

std::optional<FilesListNotSaved> SaveDialogFilesList(const std::string& path,
                                                     const std::vector<FilesListEntry>& rows) {
    const std::string target = platform::LinkTarget(path);
    // Holding the old list open and locked keeps a running job's reader, which locks it too,
    // from being cut off, and refuses a list that is write-protected, as the old list would
    // have been truncated in place otherwise.
    platform::LockedFile old_list;
    if (const int open_error = old_list.Open(target); open_error != 0) {
        return FilesListNotSaved{open_error, path};
    }
    const std::string bytes = FormatFilesList(rows);
    const int replace_error = old_list.ReplaceWith(target, bytes);
    if (replace_error != platform::kNoFileBeside) {
        if (replace_error != 0) {
            return FilesListNotSaved{replace_error, path};
        }
        return std::nullopt;
    }
    // No file can be made beside the list (a folder the user may not write, a name too long
    // for a suffix): the list, which is writable, is written in place.
    if (const int in_place_error = old_list.RewriteInPlace(bytes); in_place_error != 0) {
        return FilesListNotSaved{in_place_error, platform::ParentFolder(target)};
    }
    return std::nullopt;
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
#ifdef EDQUOT  // no disk quotas in Windows' C runtime
        case EDQUOT:
#endif
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

}  // namespace vantor
