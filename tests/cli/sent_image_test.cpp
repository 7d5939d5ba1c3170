// What vantor-cli lets reach the drive: the bytes of an image that were checked and named in the
// run's start record, and nothing that merely looks whole; and what it counts of the answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "records/run_record.h"
#include "support/json_lines.h"

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

// A file cut inside a packet's payload reads its missing checksum as 0xFFFF, so the design's
// reader blames the checksum (105). Every message must name the cut instead of a checksum that
// was never in the file, and image-info must give the same status as the download.
TEST(CutImage, APayloadCutByTheEndOfTheFileIsNamedACutFile) {
    constexpr std::size_t kPayloadBytes = 64;
    Bytes bytes = ImageBuilder::Kdx(2).FillerPackets(3, kPayloadBytes).Build();
    bytes.resize(image_writer::kKdxHeaderBytes + (kPayloadBytes + 6) + 30);
    TempDir dir;
    const std::string image = dir.Write("cut.orb", Text(bytes));
    const std::string said = "the file ends 30 bytes into packet 2 (of 70 bytes): it is cut short";

    const CliRun info = RunCli({"image-info", image, "--revision", "2"});
    EXPECT_EQ(info.status, 105) << info.out;
    EXPECT_NE(info.err.find(image + ": " + said), std::string::npos) << info.err;
    EXPECT_EQ(info.out.find("stored 0x"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("cut short: the file holds 30 of its 70 bytes"), std::string::npos)
        << info.out;

    const CliRun run = RunCli({"download", image, "--port", "sim", "--skip-seeking",
                               "--virtual-time", "--json", "--no-history"});
    EXPECT_EQ(run.status, 105) << run.err;
    const JsonObject summary = Summary(run);
    EXPECT_EQ(StringField(summary, "meaning"),
              "the image file is cut short: it ends inside a packet");
    EXPECT_NE(StringField(summary, "detail").find(said), std::string::npos)
        << StringField(summary, "detail");
    EXPECT_EQ(summary.value("packets_sent", -1), 0);
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

// An image above the size held in memory is sent from the disk; cut or rewritten while it was
// sent, it fails 110, and its record must then not say that the drive got what the run started
// with: no digest it did not read, and matches_start false even where the digest is unknown.
TEST(SentRecord, AnImageChangedWhileSentNeverMatchesTheStart) {
    const std::string start_sha256(64, 'a');
    records::RunStart start;
    start.images.push_back({"", "/fw/a.orb", FileDigest{70000000, start_sha256}, 4200});
    SentImage sent;
    sent.Path = "/fw/a.orb";
    sent.SizeBytes = 70000000;
    sent.PacketsSent = 3000;
    struct Case {
        std::string sha256;
        bool changed;
        std::optional<bool> matches;
    };
    for (const Case& c : {Case{start_sha256, false, true}, Case{std::string(64, 'b'), true, false},
                          Case{"", true, false}, Case{"", false, std::nullopt}}) {
        sent.Sha256 = c.sha256;
        sent.ChangedWhileSent = c.changed;
        const auto record = ParseJsonLine(
            records::JsonObject().Array("images", records::ImagesFields(start, {sent})).Text());
        ASSERT_TRUE(record);
        const JsonObject& fields = record->at("images").at(0).at("sent");
        EXPECT_EQ(fields.at("sha256").is_null(), c.sha256.empty());
        if (c.matches) {
            EXPECT_EQ(fields.at("matches_start"), *c.matches) << c.sha256;
        } else {
            EXPECT_TRUE(fields.at("matches_start").is_null());
        }
    }
}

}  // namespace
}  // namespace vantor::test
