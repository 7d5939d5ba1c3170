// A files list as a download takes it: read once when the run starts, so that what the run sends
// and what its exit status claims are the lines its start record names; and refused before any
// port opens when it names nothing to send or has a line that is no name, four blanks and a path.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

// Ports that cannot be opened: a run that opened one would end 5, not with the list's status.
constexpr const char* kNoPort = "/nonexistent/ttyVANTOR0";
constexpr const char* kOtherNoPort = "/nonexistent/ttyVANTOR1";

bool Replace(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool written =
        file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = file != nullptr && std::fclose(file) == 0 && written;
    return written;
}

std::string ListLine(const std::string& name, const std::string& path) {
    return name + "    " + path + "\r\n";
}

struct Rewrite {
    const char* name;
    int lines_after;  // the lines of the list once rewritten during the seek
};

class ListRewrittenDuringTheRun : public testing::TestWithParam<Rewrite> {};

// The list is rewritten while the drive is sought, after the start record has named its two
// lines: shorter (the fault this catches: one image sent and the run called a success), longer,
// or empty. The drive must get exactly the two images the run started with, and the run says so.
// The drive answers its first break only after a seek, which takes seconds on the real clock, so
// the rewrite always lands between the start and the job's first image.
TEST_P(ListRewrittenDuringTheRun, SendsEveryImageTheRunStartedWithAndNoOther) {
    TempDir dir;
    const std::string a = dir.Write("a.orb", ImageBuilder::Kdx(2).FillerPackets(2, 32).Build());
    const std::string b =
        dir.Write("b.orb", ImageBuilder::Kdx(2).FillerPackets(3, 32, 0x00010000, 5).Build());
    const std::string c = dir.Write("c.orb", ImageBuilder::Kdx(2).FillerPackets(1, 16).Build());
    const std::string list = dir.Write("list.txt", ListLine("a.orb", a) + ListLine("b.orb", b));
    std::string rewritten_list;
    const std::vector<std::string> all = {ListLine("a.orb", a), ListLine("c.orb", c),
                                          ListLine("b.orb", b)};
    for (int line = 0; line < GetParam().lines_after; ++line) {
        rewritten_list += all[static_cast<std::size_t>(line)];
    }
    bool rewritten = false;
    const CliRun run =
        RunCliReacting({"download", "--files-list", list, "--port", "sim:ignore-breaks=1",
                        "--skip-seeking", "--json", "--no-history"},
                       [&](platform::ChildProcess&, const std::string& out) {
                           if (out.find("Seeking drives...") == std::string::npos) {
                               return false;
                           }
                           rewritten = Replace(list, rewritten_list);
                           return true;
                       });
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::vector<JsonObject> events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    const JsonObject& summary = events.back();
    EXPECT_EQ(StringField(summary, "result"), "success");
    EXPECT_EQ(summary.value("images_total", -1), 2);
    EXPECT_EQ(summary.value("images_downloaded", -1), 2);
    EXPECT_EQ(summary.value("packets_sent", -1), 5);
    const auto images = summary.at("images");
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(StringField(images[0], "path"), a);
    EXPECT_EQ(StringField(images[1], "path"), b);
    for (const auto& image : images) {
        ASSERT_TRUE(image.at("sent").is_object()) << image.dump();
        EXPECT_TRUE(image.at("sent").value("matches_start", false));
    }
}

INSTANTIATE_TEST_SUITE_P(Lists, ListRewrittenDuringTheRun,
                         testing::Values(Rewrite{"Shorter", 1}, Rewrite{"Longer", 3},
                                         Rewrite{"Emptied", 0}),
                         [](const auto& test) { return std::string(test.param.name); });

struct ListFault {
    const char* name;
    const char* list;  // the list's bytes; IMAGE stands for a good image's path
    int status;
    const char* said;  // what stderr says of it
};

class FaultyFilesList : public testing::TestWithParam<ListFault> {};

std::string WithImage(std::string text, const std::string& image) {
    for (auto at = text.find("IMAGE"); at != std::string::npos; at = text.find("IMAGE")) {
        text.replace(at, 5, image);
    }
    return text;
}

// A list that names nothing to send, or has a line that is no name, four blanks and a path, is
// refused before the port opens, with the list, the line's number and its text as written, for
// a download, a line and serve alike; without --strict too: an empty list is no success.
TEST_P(FaultyFilesList, IsRefusedBeforeAnyPortOpens) {
    TempDir dir;
    const std::string image = dir.Write("a.orb", ImageBuilder::Kdx(2).FillerPackets(1, 8).Build());
    const std::string list = dir.Write("list.txt", WithImage(GetParam().list, image));
    const std::string said = WithImage(GetParam().said, image);

    const CliRun run =
        RunCli({"download", "--files-list", list, "--port", kNoPort, "--json", "--no-history"});
    EXPECT_EQ(run.status, GetParam().status) << run.out << run.err;
    EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
    const std::vector<JsonObject> events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(StringField(events.back(), "result"), "failed");
    EXPECT_EQ(events.back().value("status", -1), GetParam().status);

    const CliRun line = RunCli({"download", "--files-list", list, "--port", kNoPort, "--port",
                                kOtherNoPort, "--no-history"});
    EXPECT_EQ(line.status, GetParam().status) << line.err;
    EXPECT_NE(line.err.find(said), std::string::npos) << line.err;

    if (RunCli({"serve", "--help"}).status != 0) {
        return;  // built without the HTTP server
    }
    const CliRun serve = RunCli({"serve", "--files-list", list, "--port", kNoPort});
    EXPECT_EQ(serve.status, GetParam().status) << serve.err;
    EXPECT_NE(serve.err.find(said), std::string::npos) << serve.err;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, FaultyFilesList,
    testing::Values(
        ListFault{"Empty", "", 22, "the files list \""},
        ListFault{"OneBlankForFour", "a.orb IMAGE\r\n", 4,
                  "line 1 \"a.orb IMAGE\" has no four blanks in a row: a line is the file name, "
                  "four blanks and the image's full path"},
        ListFault{"Comment", "a.orb    IMAGE\r\n# spare\r\n", 4,
                  "line 2 \"# spare\" has no four blanks in a row"},
        ListFault{"BlankLine", "\r\na.orb    IMAGE\r\n", 4, "line 1 \"\" is blank"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vantor::test
