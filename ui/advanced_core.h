// The Advanced dialog without its toolkit: its texts, the rules for the rows of the files
// table (their order, and the names and paths a files list can keep) and the option flags. Each
// face of the dialog draws the table and asks the questions; the rules are the same.
#pragma once

#include <string>
#include <vector>

#include "image/files_list.h"
#include "ui/send_plan.h"

namespace vantor::ui {

inline constexpr int kAddressCount = 32;
inline constexpr const char* kAdvancedTitle = "Advanced options";
inline constexpr const char* kBrowseTitle = "Browse For Orrim File...";
inline constexpr const char* kInvalidLineText = "Invalid line in Files List file";
inline constexpr const char* kInvalidLineCaption = "Files list file";
inline constexpr const char* kDuplicateText = "This file is already in the table.";
inline constexpr const char* kNothingSelectedText = "You must select something to delete.";
inline constexpr const char* kNoFilesText =
    "Vantor will not function without specifying any file.  Are you sure you want to "
    "continue?";
inline constexpr const char* kNoFilesCaption = "No files?";
inline constexpr const char* kCannotWriteLead =
    "File could not be opened for writing due to the following reason:  ";
inline constexpr const char* kCannotWriteTail =
    "\n\nAny changes you might have made will not be saved.  Would you still like to exit the "
    "application and use this file?";
inline constexpr const char* kCannotWriteCaption = "Cannot open IP File.";

// Flags outside 0 to 2 are taken as 0 when the dialog opens; 2 shows as the third state.
int ClampFlag(int flag);

// The table's ascending order: file names compared without regard to the case of A to Z, and
// names equal that way in byte order, so "X.orb" and "x.orb" keep a fixed order.
bool NameBefore(const std::string& a, const std::string& b);

// Why a row could not come back from the files list as it was saved (a line break, four
// blanks or a trailing blank in the name, a line too long); nullptr when it can.
const char* LineProblem(const std::string& name, const std::string& path);

// The text of address item `index` (0 to 31): "0" to "9", then "A" to "V".
std::string AddressItemText(int index);

// Which line of which list a refused line is, as written, and the rule it breaks.
std::string BadLineDetail(const std::string& list_path, const RefusedLine& bad);
// The question asked before a save drops the lines that could not be read.
std::string DropBadLinesQuestion(const std::string& list_path,
                                 const std::vector<RefusedLine>& bad_lines);
// The question asked when the list cannot be written, with the system's reason.
std::string CannotWriteQuestion(const std::string& reason);

// The rows of the files table in their order.
class FilesTable {
  public:
    const std::vector<FilesListEntry>& Rows() const { return rows_; }
    // The row's place in the order; the row is inserted there.
    int Insert(const FilesListEntry& row);
    bool HasName(const std::string& name) const;
    // Removes the rows at `indexes` (any order).
    void Remove(std::vector<int> indexes);
    void Clear() { rows_.clear(); }

  private:
    std::vector<FilesListEntry> rows_;
};

}  // namespace vantor::ui
