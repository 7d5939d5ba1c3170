// What vantor-cli says on a terminal, run as the built program against simulated drives: the
// displays and the result in plain words, the first cause of a failure blamed, the warnings of
// a success counted, and a pointer to help after every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

// The simulated drive's default hardware revision is 2.
std::string WriteImage(const TempDir& dir, const ImageBuilder& builder) {
    return dir.Write("image.orb", builder.Build());
}

// Fails for a line that speaks in the program's own terms: a display's widget name, or a
// failure given by its code alone.
void ExpectPlainWords(const std::string& output) {
    const std::regex widget_name("[A-Za-z]+Label\\b|StatusLine");
    const std::regex bare_code("code -[0-9]+");
    for (const std::string& line : Lines(output)) {
        EXPECT_FALSE(std::regex_search(line, widget_name)) << line;
        EXPECT_FALSE(std::regex_search(line, bare_code)) << line;
    }
}

long Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

struct WordsCase {
    const char* name;
    std::vector<std::string> arguments;  // "IMAGE" stands for the image
    ImageBuilder image;
    int status;
    std::string result_line;
    std::string cause;  // the error stream's first line; empty for a success
};

void PrintTo(const WordsCase& c, std::ostream* os) {
    *os << c.name;
}

class PlainWords : public testing::TestWithParam<WordsCase> {};

// Catches a result given as a code where words belong, a later generic failure blamed for the
// first one, and a success that hides its warnings.
TEST_P(PlainWords, TheResultLineSaysWhatHappenedAndStderrBlamesTheFirstCause) {
    const WordsCase& c = GetParam();
    TempDir dir;
    const std::string image = WriteImage(dir, c.image);
    std::vector<std::string> arguments;
    for (const std::string& argument : c.arguments) {
        arguments.push_back(argument == "IMAGE" ? image : argument);
    }
    // The rate is given so that stderr holds nothing but what the run itself has to say.
    arguments.insert(arguments.end(), {"--virtual-time", "--baud", "9600"});
    const CliRun run = RunCli(arguments);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    const auto out = Lines(run.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), c.result_line);
    ExpectPlainWords(run.out);
    ExpectPlainWords(run.err);
    const auto err = Lines(run.err);
    if (c.status == 0) {
        EXPECT_TRUE(err.empty()) << run.err;
        return;
    }
    ASSERT_GE(err.size(), 2u) << run.err;
    std::string cause = c.cause;
    if (const auto at = cause.find("IMAGE"); at != std::string::npos) {
        cause.replace(at, 5, image);
    }
    EXPECT_EQ(err.front(), cause);
    EXPECT_EQ(
        err.back().rfind(
            "vantor-cli: what to try: look up status " + std::to_string(c.status) + " in ", 0),
        0u)
        << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Download, PlainWords,
    testing::Values(
        WordsCase{"ProtectedMemoryWarnings",
                  {"download", "IMAGE", "--port", "sim:status=0x0080", "--skip-seeking"},
                  ImageBuilder::Kdx(2).FillerPackets(3, 64),
                  0,
                  "result: 0 success, 3 protected-memory warnings",
                  ""},
        WordsCase{"MissingResponses",
                  {"download", "IMAGE", "--port", "sim:no-response", "--skip-seeking"},
                  ImageBuilder::Kdx(2).FillerPackets(2, 64),
                  0,
                  "result: 0 success, 2 missing responses",
                  ""},
        WordsCase{"InvalidCommandAnswers",
                  {"download", "IMAGE", "--port", "sim:response=??", "--skip-seeking"},
                  ImageBuilder::Kdx(2).FillerPackets(2, 64),
                  0,
                  "result: 0 success, 2 \"invalid command\" answers",
                  ""},
        // The drive left in command mode answers the re-activation's seek out of turn, which
        // then reports several drives: the first failure is the cause.
        WordsCase{"DriveStaysInCommandMode",
                  {"download", "IMAGE", "--port", "sim:address=5,stay-in-command-mode"},
                  ImageBuilder::Kdx(2).FillerPackets(1, 64),
                  2,
                  "result: 2 resynchronisation failed: the drive at address 5 answered but "
                  "stayed in its command mode (it did not enter its boot loader)",
                  "vantor-cli: Failed to enable Orrim"},
        WordsCase{"SilentAddress",
                  {"download", "IMAGE", "--port", "sim:address=4", "--address", "9"},
                  ImageBuilder::Kdx(2).FillerPackets(1, 64),
                  2,
                  "result: 2 resynchronisation failed: no drive answered at address 9",
                  "vantor-cli: Failed to activate Drive at specific address"},
        WordsCase{"SeveralDrives",
                  {"download", "IMAGE", "--port", "sim:addresses=3+7"},
                  ImageBuilder::Kdx(2).FillerPackets(1, 64),
                  1,
                  "result: 1 several drives answered: addresses 3 and 7; pick one with "
                  "--address N",
                  "vantor-cli:  Error: Detected multiple drives"},
        // 106 stands for two causes; each is told by its own words.
        WordsCase{"RevisionMismatch",
                  {"download", "IMAGE", "--port", "sim", "--skip-seeking"},
                  ImageBuilder::Kdx(1).FillerPackets(1, 64),
                  106,
                  "result: 106 the image is for hardware revision 1 (KDX1v2), the drive is "
                  "revision 2 (KDX2)",
                  "Orrim file error: Error: The Orrim file \"image.orb\" is meant for hardware "
                  "revision ID 1."},
        // The second packet (2 + 2 + 64 + 2 bytes) is cut after the first byte of its BOP word.
        WordsCase{"FileCutInsideAPacket",
                  {"download", "IMAGE", "--port", "sim", "--skip-seeking"},
                  ImageBuilder::Kdx(2).FillerPackets(2, 64).Truncate(69),
                  106,
                  "result: 106 the image file is cut short: it ends inside a packet",
                  "vantor-cli: IMAGE: the file ends 1 byte into packet 2, inside its BOP and "
                  "length words: it is cut short (Error: Premature end-of-file encountered)"},
        WordsCase{"NeverAcknowledged",
                  {"download", "IMAGE", "--port", "sim:ack-on-send=4", "--skip-seeking"},
                  ImageBuilder::Kdx(2).FillerPackets(1, 64),
                  103,
                  "result: 103 the drive did not acknowledge a packet in three sends",
                  "vantor-cli: Error: Packet 1 transmission failure."}),
    [](const testing::TestParamInfo<WordsCase>& param_info) { return param_info.param.name; });

// Catches displays shown by their widget names, or twice when the job sets them again.
TEST(PlainWords, TheDisplaysAreNamedInWordsAndShownOnce) {
    TempDir dir;
    const std::string image = WriteImage(dir, ImageBuilder::Kdx(2).FillerPackets(1, 64));
    const CliRun download =
        RunCli({"download", image, "--port", "sim:address=12", "--virtual-time"});
    ASSERT_EQ(download.status, 0) << download.err;
    const auto lines = Lines(download.out);
    EXPECT_EQ(Count(lines, "Image: image.orb"), 1);
    EXPECT_EQ(Count(lines, "Drive address: 12 (C)"), 1);
    EXPECT_EQ(Count(lines, "Boot loader version: 2.3"), 1);
    EXPECT_EQ(Count(lines, "Hardware: KDX2 (revision 2)"), 1);
    EXPECT_EQ(lines.back(), "result: 0 success");

    const CliRun identify =
        RunCli({"identify", "--port", "sim:address=5,ident=0x5041", "--virtual-time"});
    ASSERT_EQ(identify.status, 0) << identify.err;
    const auto identified = Lines(identify.out);
    EXPECT_EQ(Count(identified, "Drive address: 5"), 1);
    EXPECT_EQ(Count(identified, "Hardware: revision 5"), 1);
    EXPECT_EQ(Count(identified, "IdentWord: 0x5041"), 1);
    ExpectPlainWords(identify.out);
}

// Catches a revision mismatch whose message box is written twice, and a result event that
// gives a code where the words belong.
TEST(PlainWords, AMessageBoxIsWrittenOnceAndTheJsonResultHasItsWords) {
    TempDir dir;
    const std::string image = WriteImage(dir, ImageBuilder::Kdx(1).FillerPackets(1, 64));
    const CliRun run =
        RunCli({"download", image, "--port", "sim", "--skip-seeking", "--virtual-time", "--json"});
    EXPECT_EQ(run.status, 106);
    const std::string box = "The Orrim file \"image.orb\" is meant for hardware revision ID 1.";
    const std::size_t first = run.err.find(box);
    ASSERT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(box, first + 1), std::string::npos) << run.err;
    for (const JsonObject& event : ParseJsonLines(run.out)) {
        if (StringField(event, "event") == "result" || StringField(event, "event") == "summary") {
            EXPECT_EQ(StringField(event, "meaning"),
                      "the image is for hardware revision 1 (KDX1v2), the drive is revision 2 "
                      "(KDX2)");
            EXPECT_NE(StringField(event, "detail").find(box), std::string::npos);
        }
    }
}

// Catches a production line whose station lines hide a success's warnings or give a failed
// station's cause as a code.
TEST(PlainWords, AProductionLineCountsWarningsAndNamesCauses) {
    TempDir dir;
    const std::string image = WriteImage(dir, ImageBuilder::Kdx(2).FillerPackets(2, 64));
    const CliRun run = RunCli({"download", image, "--port", "sim:status=0x0080", "--port",
                               "sim:ack-on-send=4", "--skip-seeking", "--virtual-time"});
    EXPECT_EQ(run.status, 30) << run.err;
    ExpectPlainWords(run.out);
    const auto lines = Lines(run.out);
    EXPECT_EQ(Count(lines,
                    "station 1 sim:status=0x0080: success 0 success, 2 protected-memory "
                    "warnings"),
              1)
        << run.out;
    EXPECT_EQ(Count(lines,
                    "station 2 sim:ack-on-send=4: failed 103 the drive did not "
                    "acknowledge a packet in three sends: Error: Packet 1 transmission "
                    "failure."),
              1)
        << run.out;
    const auto err = Lines(run.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back().rfind("vantor-cli: what to try: look up status 30 in ", 0), 0u);
}

}  // namespace
}  // namespace vantor::test
