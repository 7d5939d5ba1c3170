// The Advanced dialog's files list writer on Windows, where the lock is a share mode and the
// held list cannot be renamed over while it is open.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "image/files_list.h"
#include "image/files_list_io.h"
#include "support/test_support.h"

namespace vantor::ui {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Catches a save that cannot replace the list it holds, or leaves its new file beside it.
TEST(FilesListIo, SavedRowsReplaceTheListAndReadBack) {
    const test::TempFolder folder("vantor-flist");
    const std::string path = (folder.path() / "flist.txt").string();
    std::ofstream(path, std::ios::binary) << "old.orb    C:\\old.orb\r\n";
    const std::vector<FilesListEntry> rows = {{"a.orb", "C:\\fw\\a.orb"}, {"b.orb", "D:\\b.orb"}};

    ASSERT_FALSE(SaveDialogFilesList(path, rows));

    EXPECT_EQ(ReadText(path), "a.orb    C:\\fw\\a.orb\r\nb.orb    D:\\b.orb\r\n");
    const LoadedFilesList loaded = LoadDialogFilesList(path);
    ASSERT_TRUE(loaded.opened);
    ASSERT_EQ(loaded.entries.size(), 2u);
    EXPECT_EQ(loaded.entries[1].Path, "D:\\b.orb");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

// Catches a save that slips past a running job's hold on the list.
TEST(FilesListIo, SaveIsRefusedAsASharingViolationWhileTheJobReadsTheList) {
    const test::TempFolder folder("vantor-flist");
    const std::string path = (folder.path() / "flist.txt").string();
    std::ofstream(path, std::ios::binary) << "a.orb    C:\\a.orb\r\n";
    FilesListFile job_reader;
    ASSERT_TRUE(job_reader.OpenForJob(path));

    const auto not_saved = SaveDialogFilesList(path, {{"b.orb", "C:\\b.orb"}});

    ASSERT_TRUE(not_saved);
    EXPECT_EQ(FileErrorReason(not_saved->error_number, not_saved->path),
              "A sharing violation occurred while accessing " + path + ".");
    EXPECT_FALSE(LoadDialogFilesList(path).opened);
    job_reader.Close();
    EXPECT_EQ(ReadText(path), "a.orb    C:\\a.orb\r\n");
}

}  // namespace
}  // namespace vantor::ui
