// What vantor-cli lets reach the drive: the bytes of an image that were checked and named in the
// run's start record, and nothing that merely looks whole; and what it counts of the answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "cli/json_lines.h"
#include "image/image_writer.h"

namespace vantor::test {
namespace {

using image_writer::Bytes;
using image_writer::ImageBuilder;

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

JsonObject Summary(const CliRun& run) {
    const std::vector<JsonObject> events = ParseJsonLines(run.out);
    EXPECT_FALSE(events.empty());
    return events.empty() ? JsonObject() : events.back();
}

// A plain image cut right after the first byte of its last packet's BOP word looks like seven
// whole packets and a stray byte; it is a file that ends inside a packet, for image-info as for
// the download, which refuses it before the port is opened.
TEST(CutImage, ABopWordCutByTheEndOfTheFileIsAPrematureEnd) {
    constexpr std::size_t kPayloadBytes = 240;
    Bytes bytes = ImageBuilder::Plain().FillerPackets(8, kPayloadBytes).Build();
    bytes.resize(bytes.size() - (kPayloadBytes + 6) + 1);
    ASSERT_EQ(bytes.back(), 0xA5);
    TempDir dir;
    const std::string image = dir.Write("cut.orb", Text(bytes));

    const CliRun info = RunCli({"image-info", image});
    EXPECT_EQ(info.status, 106) << info.out;
    EXPECT_NE(info.out.find("Error: Premature end-of-file encountered"), std::string::npos);
    EXPECT_NE(info.out.find("verdict: would not download whole"), std::string::npos);

    for (const bool strict : {false, true}) {
        std::vector<std::string> arguments = {
            "download",       image,   "--port", "sim:ident=0x0083", "--skip-seeking",
            "--virtual-time", "--json"};
        if (strict) {
            arguments.push_back("--strict");
        }
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, 106) << run.err;
        const JsonObject summary = Summary(run);
        EXPECT_EQ(summary.value("packets_sent", -1), 0);
        EXPECT_NE(StringField(summary, "detail").find("Premature end-of-file"), std::string::npos)
            << StringField(summary, "detail");
    }
}

// "??" to every packet: the design goes on, the summary counts the answers, and --strict fails
// the run as it fails any other answer it does not take.
TEST(InvalidCommandAnswers, AreCountedAndFailAStrictRun) {
    TempDir dir;
    const std::string image =
        dir.Write("image.orb", Text(ImageBuilder::Kdx(2).FillerPackets(3, 64).Build()));
    const std::vector<std::string> arguments = {
        "download",       image,   "--port", "sim:response=??", "--skip-seeking",
        "--virtual-time", "--json"};

    const CliRun lenient = RunCli(arguments);
    EXPECT_EQ(lenient.status, 0) << lenient.err;
    EXPECT_EQ(Summary(lenient).value("invalid_command_responses", -1), 3);

    std::vector<std::string> strict = arguments;
    strict.push_back("--strict");
    const CliRun run = RunCli(strict);
    EXPECT_EQ(run.status, 21) << run.err;
    const JsonObject summary = Summary(run);
    EXPECT_EQ(summary.value("invalid_command_responses", -1), 3);
    EXPECT_EQ(StringField(summary, "result"), "failed");
    EXPECT_EQ(summary.value("packets_sent", -1), 3);
}

// The image is rewritten with another sound image after the run's start record has named it and
// the checks before the port have passed, while the job seeks the drive. The drive must not get
// the other image: the run fails with 110, before any packet. The drive answers its first break
// only after a seek, which takes seconds on the real clock, so the rewrite always lands in that
// seek, between the checks and the job's reading of the file.
TEST(ChangedImage, IsNotSentWhenItIsNoLongerTheOneTheRunStartedWith) {
    TempDir dir;
    const std::string image =
        dir.Write("image.orb", Text(ImageBuilder::Kdx(2).FillerPackets(3, 64).Build()));
    const Bytes other = ImageBuilder::Kdx(2).FillerPackets(3, 64, 0x00010000, 9).Build();
    bool rewritten = false;
    const CliRun run = RunCliReacting(
        {"download", image, "--port", "sim:ignore-breaks=1", "--skip-seeking", "--json"},
        [&](platform::ChildProcess&, const std::string& out) {
            if (out.find("Seeking drives...") == std::string::npos) {
                return false;
            }
            std::FILE* file = std::fopen(image.c_str(), "wb");
            rewritten =
                file != nullptr && std::fwrite(other.data(), 1, other.size(), file) == other.size();
            rewritten = file != nullptr && std::fclose(file) == 0 && rewritten;
            return true;
        });
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(run.status, 110) << run.out << run.err;
    const JsonObject summary = Summary(run);
    EXPECT_EQ(summary.value("packets_sent", -1), 0);
    EXPECT_EQ(StringField(summary, "meaning"), "the image file changed during the download");
    EXPECT_EQ(StringField(summary, "detail"), "Error: The image file changed during the download");
}

}  // namespace
}  // namespace vantor::test
