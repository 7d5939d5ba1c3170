#include "ui/advanced_core.h"

#include <algorithm>
#include <optional>

#include "image/files_list_io.h"

namespace vantor::ui {

namespace {

const char kTooLongText[] =
    "This file's name and path are too long for the files list: a line holds at most 128 "
    "characters.";
const char kFourBlanksText[] =
    "This file's name holds four blanks in a row, which the files list cannot tell apart from "
    "the end of the name.";
const char kTrailingBlankText[] =
    "This file's name ends in a blank, which the files list cannot tell apart from the blanks "
    "that end the name.";
const char kLineBreakText[] =
    "This file's name or path holds a line break, which the files list cannot keep.";

}  // namespace

int ClampFlag(int flag) {
    return (flag < 0 || flag > 2) ? 0 : flag;
}

bool NameBefore(const std::string& a, const std::string& b) {
    const auto fold = [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A')
                                      : static_cast<unsigned char>(c);
    };
    const auto folded_less = [&](char x, char y) { return fold(x) < fold(y); };
    if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), folded_less)) {
        return true;
    }
    if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), folded_less)) {
        return false;
    }
    return a < b;
}

const char* LineProblem(const std::string& name, const std::string& path) {
    if (name.find_first_of("\r\n") != std::string::npos ||
        path.find_first_of("\r\n") != std::string::npos) {
        return kLineBreakText;
    }
    if (name.find(kFilesListSeparator) != std::string::npos) {
        return kFourBlanksText;
    }
    // A name ending in blanks moves the split: the path would read back with a leading blank.
    const std::optional<FilesListEntry> read_back =
        SplitAtSeparator(name + std::string(kFilesListSeparator) + path);
    if (!read_back || read_back->Name != name || read_back->Path != path) {
        return kTrailingBlankText;
    }
    if (name.size() + kFilesListSeparator.size() + path.size() > kDialogLineLimit) {
        return kTooLongText;
    }
    return nullptr;
}

std::string AddressItemText(int index) {
    return index < 10 ? std::to_string(index) : std::string(1, static_cast<char>('A' + index - 10));
}

std::string BadLineDetail(const std::string& list_path, const RefusedLine& bad) {
    return "Line " + std::to_string(bad.number) + " of " + list_path + ":\n\"" + bad.text +
           "\"\n\nThe line is not loaded: " + bad.rule + ".";
}

std::string DropBadLinesQuestion(const std::string& list_path,
                                 const std::vector<RefusedLine>& bad_lines) {
    std::string text = "The files list " + list_path + " holds " +
                       (bad_lines.size() == 1 ? std::string("a line")
                                              : std::to_string(bad_lines.size()) + " lines") +
                       " that cannot be read:\n";
    for (const RefusedLine& bad : bad_lines) {
        if (bad.number > 0) {
            text += "\nline " + std::to_string(bad.number) + ": \"" + bad.text + "\"";
        }
    }
    return text +
           "\n\nSaving the table writes the list without them. Save it without them? No leaves "
           "the list as it is and keeps this dialog open; Cancel closes it without saving.";
}

std::string CannotWriteQuestion(const std::string& reason) {
    return std::string(kCannotWriteLead) + reason + kCannotWriteTail;
}

int FilesTable::Insert(const FilesListEntry& row) {
    auto place = std::upper_bound(rows_.begin(), rows_.end(), row,
                                  [](const FilesListEntry& a, const FilesListEntry& b) {
                                      return NameBefore(a.Name, b.Name);
                                  });
    const auto index = static_cast<int>(place - rows_.begin());
    rows_.insert(place, row);
    return index;
}

bool FilesTable::HasName(const std::string& name) const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [&](const FilesListEntry& row) { return row.Name == name; });
}

void FilesTable::Remove(std::vector<int> indexes) {
    std::sort(indexes.begin(), indexes.end(), std::greater<>());
    for (const int index : indexes) {
        if (index >= 0 && index < static_cast<int>(rows_.size())) {
            rows_.erase(rows_.begin() + index);
        }
    }
}

}  // namespace vantor::ui
