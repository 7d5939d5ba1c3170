// The files list: how a line splits into name and path, and how the job's reader reads lines,
// locks the file and refuses files it must not use.
#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image/files_list.h"
#include "image/image_writer.h"

namespace vantor {
namespace {

// ---- Splits ----

struct SplitCase {
    const char* name;
    std::string line;
    bool has_separator;
    std::string entry_name;
    std::string entry_path;
};

std::vector<SplitCase> SplitCases() {
    return {
        {"NameFourBlanksPath", "a.orb    c:\\fw\\a.orb", true, "a.orb", "c:\\fw\\a.orb"},
        {"FiveBlanksKeepOneInThePath", "a.orb     c:\\fw\\a.orb", true, "a.orb", " c:\\fw\\a.orb"},
        {"PathHoldingFourBlanks", "a.orb    /img/my    dir/a.orb", true, "a.orb",
         "/img/my    dir/a.orb"},
        {"NameWithSingleAndDoubleBlanks", "my  fw 1.orb    /x.orb", true, "my  fw 1.orb", "/x.orb"},
        {"PathKeepsTrailingBlanks", "a.orb    /a.orb  ", true, "a.orb", "/a.orb  "},
        {"SeparatorAtTheStart", "    /a.orb", true, "", "/a.orb"},
        {"OnlyASeparator", "    ", true, "", ""},
        {"NoSeparator", "a.orb /fw/a.orb", false, "", "rb /fw/a.orb"},
        {"ThreeBlanksOnly", "a.orb   /a.orb", false, "", "rb   /a.orb"},
        {"ExactlyThreeCharacters", "abc", false, "", ""},
        {"ShorterThanThree", "ab", false, "", ""},
        {"EmptyLine", "", false, "", ""},
    };
}

class FilesListSplit : public testing::TestWithParam<SplitCase> {};

TEST_P(FilesListSplit, SplitsAtTheFirstFourBlanks) {
    const SplitCase& split = GetParam();
    const auto entry = SplitAtSeparator(split.line);
    ASSERT_EQ(entry.has_value(), split.has_separator);
    if (entry) {
        EXPECT_EQ(entry->Name, split.entry_name);
        EXPECT_EQ(entry->Path, split.entry_path);
    }
}

// A line without the separator gives the job an empty name and the line from its fourth
// character on; a shorter line gives an empty path, which then fails to open.
TEST_P(FilesListSplit, JobSplitGivesNameAndPath) {
    const SplitCase& split = GetParam();
    const FilesListEntry entry = SplitJobLine(split.line);
    EXPECT_EQ(entry.Name, split.entry_name);
    EXPECT_EQ(entry.Path, split.entry_path);
}

INSTANTIATE_TEST_SUITE_P(Lines, FilesListSplit, testing::ValuesIn(SplitCases()),
                         [](const testing::TestParamInfo<SplitCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// ---- Reading the file ----

// A files list written to a temporary file for the life of the object.
class TempList {
  public:
    explicit TempList(const std::string& text)
        : path_(image_writer::WriteTempFile(image_writer::Bytes(text.begin(), text.end()),
                                            "vantor-flist")) {}
    ~TempList() {
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
    }
    TempList(const TempList&) = delete;
    TempList& operator=(const TempList&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::vector<std::string> ReadAll(const std::string& path) {
    FilesListFile list;
    EXPECT_TRUE(list.OpenForJob(path));
    std::vector<std::string> lines;
    std::string line;
    while (list.ReadLine(line)) {
        lines.push_back(line);
    }
    EXPECT_FALSE(list.ReadLine(line)) << "the end stays the end";
    return lines;
}

struct LinesCase {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
};

std::vector<LinesCase> LinesCases() {
    return {
        {"CrLf", "a.orb    /a.orb\r\nb.orb    /b.orb\r\n", {"a.orb    /a.orb", "b.orb    /b.orb"}},
        {"BareLf", "a.orb    /a.orb\nb.orb    /b.orb\n", {"a.orb    /a.orb", "b.orb    /b.orb"}},
        {"MixedLineEnds", "a\r\nb\nc\r\n", {"a", "b", "c"}},
        {"NoFinalLineEnd",
         "a.orb    /a.orb\r\nb.orb    /b.orb",
         {"a.orb    /a.orb", "b.orb    /b.orb"}},
        {"EmptyFile", "", {}},
        {"OneEmptyLine", "\r\n", {""}},
        {"EmptyLinesBetween", "a\r\n\r\n\nb\r\n", {"a", "", "", "b"}},
        // Only a CR directly before the LF belongs to the line end.
        {"CrInsideALineIsKept", "a\rb\r\n", {"a\rb"}},
        {"CrCrLfKeepsOneCr", "a\r\r\n", {"a\r"}},
        {"LoneCrAtTheEndIsKept", "a\r", {"a\r"}},
        {"NulBytesAreKept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
}

class FilesListLines : public testing::TestWithParam<LinesCase> {};

TEST_P(FilesListLines, ReadsEachLineWithoutItsLineEnd) {
    const LinesCase& lines = GetParam();
    const TempList list(lines.text);
    EXPECT_EQ(ReadAll(list.path()), lines.lines);
}

INSTANTIATE_TEST_SUITE_P(Files, FilesListLines, testing::ValuesIn(LinesCases()),
                         [](const testing::TestParamInfo<LinesCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// The job's reader has no length limit (the dialog's loader stops at 128 characters).
TEST(FilesListFile, ReadsALineOfAnyLength) {
    const std::string long_path = "/" + std::string(200000, 'p');
    const TempList list("a.orb    " + long_path + "\r\nb.orb    /b\r\n");
    const std::vector<std::string> lines = ReadAll(list.path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "a.orb    " + long_path);
    EXPECT_EQ(lines[1], "b.orb    /b");
}

TEST(FilesListFile, EndOfTheFileIsNotAReadFailure) {
    const TempList list("a\nb");
    FilesListFile file;
    ASSERT_TRUE(file.OpenForJob(list.path()));
    std::string line;
    while (file.ReadLine(line)) {
    }
    EXPECT_FALSE(file.ReadFailed());
}

// A list whose reading fails must not pass for a list that ended: the job would report the
// lines after the failure as done. /proc/self/mem is a regular file whose first read fails,
// as address 0 is never mapped.
TEST(FilesListFile, ReadErrorEndsTheLinesAndIsReported) {
    FilesListFile file;
    if (!file.OpenForJob("/proc/self/mem")) {
        GTEST_SKIP() << "no /proc/self/mem to read from";
    }
    std::string line = "left over";
    EXPECT_FALSE(file.ReadLine(line));
    EXPECT_TRUE(line.empty());
    EXPECT_TRUE(file.ReadFailed());
    file.Close();
    EXPECT_TRUE(file.ReadFailed()) << "still known after the close";
}

TEST(FilesListFile, ReadsNothingWhenNotOpen) {
    FilesListFile list;
    std::string line = "left over";
    EXPECT_FALSE(list.ReadLine(line));
    EXPECT_TRUE(line.empty());
    list.Close();
}

// ---- Opening: only an existing, writable, regular file that nobody else holds ----

std::string TempName(const char* stem) {
    return testing::TempDir() + stem + std::to_string(::getpid());
}

TEST(FilesListFile, RefusesAMissingFileAndDoesNotCreateIt) {
    const std::string path = TempName("vantor-no-such-flist-");
    FilesListFile list;
    EXPECT_FALSE(list.OpenForJob(path));
    EXPECT_FALSE(std::filesystem::exists(path)) << "the job never creates the files list";
}

// File modes and FIFOs are POSIX systems' own.
#ifndef _WIN32

// Tries to open `path` for the job as an unprivileged user when running as root, whom file
// modes do not stop; returns whether the open succeeded.
bool OpensForJobWithoutPrivilege(const std::string& path) {
    if (::geteuid() != 0) {
        FilesListFile list;
        return list.OpenForJob(path);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(2);
        }
        FilesListFile list;
        ::_exit(list.OpenForJob(path) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 2) << "could not drop privileges";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FilesListFile, RefusesAWriteProtectedFile) {
    const TempList list("a.orb    /a.orb\r\n");
    ASSERT_EQ(::chmod(list.path().c_str(), 0644), 0);
    EXPECT_TRUE(OpensForJobWithoutPrivilege(list.path()) == (::geteuid() != 0))
        << "as another user a 0644 file is write-protected; as its owner it is not";
    ASSERT_EQ(::chmod(list.path().c_str(), 0444), 0);
    EXPECT_FALSE(OpensForJobWithoutPrivilege(list.path()));
}

// A FIFO opened for reading and writing would make the first read wait forever.
TEST(FilesListFile, RefusesAFifoWithoutWaiting) {
    const std::string path = TempName("vantor-flist-fifo-");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    FilesListFile list;
    EXPECT_FALSE(list.OpenForJob(path));
    ::unlink(path.c_str());
}

#endif

TEST(FilesListFile, RefusesASecondOpenWhileTheFirstHoldsIt) {
    const TempList list("a.orb    /a.orb\r\n");
    FilesListFile first;
    ASSERT_TRUE(first.OpenForJob(list.path()));
    FilesListFile second;
    EXPECT_FALSE(second.OpenForJob(list.path()));
    first.Close();
    EXPECT_TRUE(second.OpenForJob(list.path())) << "Close releases the file";
}

// Each way out releases the file: the destructor as well as Close.
TEST(FilesListFile, DestructorReleasesTheFile) {
    const TempList list("a\n");
    {
        FilesListFile first;
        ASSERT_TRUE(first.OpenForJob(list.path()));
    }
    FilesListFile again;
    EXPECT_TRUE(again.OpenForJob(list.path()));
}

// Reopening a list on the same object closes the one it held first.
TEST(FilesListFile, OpeningAgainReleasesThePreviousFile) {
    const TempList first_list("a\n");
    const TempList second_list("b\n");
    FilesListFile list;
    ASSERT_TRUE(list.OpenForJob(first_list.path()));
    ASSERT_TRUE(list.OpenForJob(second_list.path()));
    FilesListFile other;
    EXPECT_TRUE(other.OpenForJob(first_list.path()));
}

TEST(FilesListFile, RefusesADirectory) {
    const std::string path = TempName("vantor-flist-folder-");
    ASSERT_TRUE(std::filesystem::create_directory(path));
    FilesListFile list;
    EXPECT_FALSE(list.OpenForJob(path));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace vantor
