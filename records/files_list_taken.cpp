#include "records/files_list_taken.h"

#include "image/files_list.h"
#include "image/files_list_io.h"
#include "records/exit_status.h"

namespace vantor::records {

namespace {

// The rule that every line of a files list follows, as a fault names it.
constexpr const char* kLineRule = "a line is the file name, four blanks and the image's full path";

// A text in double quotes, as the faults quote a path or a line.
std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

TakenFilesList TakeFilesList(const std::string& path) {
    TakenFilesList taken;
    taken.path = path;
    if (path.empty()) {
        return taken;
    }
    FilesListFile file;
    if (!file.OpenForJob(path)) {
        taken.problem = "cannot be opened: " + file.open_problem();
        return taken;
    }
    std::string bytes;
    const bool whole = file.ReadRest(bytes, kMostFilesListBytes);
    const bool read_failed = file.ReadFailed();
    file.Close();
    if (!whole) {
        taken.problem = read_failed ? std::string("a read failed part way")
                                    : "it is larger than " +
                                          std::to_string(kMostFilesListBytes / (1024 * 1024)) +
                                          " MiB, more than a files list holds";
        return taken;
    }
    taken.lines = SplitFileLines(bytes);
    taken.digest = FileDigest{static_cast<long long>(bytes.size()), Sha256Hex(bytes)};
    return taken;
}

std::string FilesListLineName(const std::string& list, int number, const std::string& text) {
    return "files list " + Quoted(list) + " line " + std::to_string(number) + " " + Quoted(text);
}

std::optional<FilesListFault> FilesListFaultOf(const TakenFilesList& list) {
    const int unusable = ExitStatusForJob(JobResult::kFilesListUnopenable);
    if (!list.problem.empty()) {
        return FilesListFault{unusable, list.path + ": " + list.problem};
    }
    if (list.lines.empty()) {
        return FilesListFault{kExitEmptyList, "the files list " + Quoted(list.path) +
                                                  " has no line: there is no image to send (" +
                                                  kLineRule + ")"};
    }
    for (std::size_t index = 0; index < list.lines.size(); ++index) {
        const std::string& line = list.lines[index];
        if (SplitAtSeparator(line)) {
            continue;
        }
        const std::string what = line.empty() ? "is blank" : "has no four blanks in a row";
        return FilesListFault{
            unusable, FilesListLineName(list.path, static_cast<int>(index) + 1, line) + " " + what +
                          ": " + kLineRule + "; a files list has no comments or blank lines"};
    }
    return std::nullopt;
}

std::optional<FilesListFault> FilesListFaultAt(const std::string& path) {
    return FilesListFaultOf(TakeFilesList(path));
}

}  // namespace vantor::records
