// vantor-cli image-info on sound and broken images, made with the image writer.
#include <gtest/gtest.h>

#include <cstdio>

#include "cli/cli_runner.h"
#include "image/image_writer.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;
using image_writer::KdxHeader;
using image_writer::PacketFault;

struct InfoCase {
    const char* name;
    ImageBuilder image;
    std::vector<std::string> options;
    int status;
    std::vector<std::string> shown;  // texts the output must hold
};

class ImageInfo : public testing::TestWithParam<InfoCase> {};

TEST_P(ImageInfo, ShowsTheFileAndJudgesIt) {
    const InfoCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> arguments{"image-info", dir.Write("image.orb", c.image.Build())};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const CliRun run = RunCli(arguments);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (const std::string& text : c.shown) {
        EXPECT_NE(run.out.find(text), std::string::npos) << "missing \"" << text << "\" in\n"
                                                         << run.out;
    }
    // Inspection never shows the header check's message boxes.
    EXPECT_EQ(run.err.find("Orrim file error"), std::string::npos);
}

KdxHeader WithMagic(std::uint16_t magic) {
    KdxHeader header;
    header.magic = magic;
    return header;
}

KdxHeader WithFamily(std::uint16_t family) {
    KdxHeader header;
    header.family = family;
    return header;
}

KdxHeader WithVersion(std::int16_t version) {
    KdxHeader header;
    header.format_version = version;
    return header;
}

const image_writer::Bytes kPayload = image_writer::FillerPayload(32, 0x10000, 3);

INSTANTIATE_TEST_SUITE_P(
    Images, ImageInfo,
    testing::Values(
        InfoCase{"SoundKdxFile",
                 ImageBuilder::Kdx(2).FillerPackets(3, 100),
                 {},
                 0,
                 {"flavour: KDX Orrim file", "magic: 0x4F72 (Or)", "hardware revision ID: 2",
                  "packet count: 3 found, 3 declared\n", "payload total: 300 bytes", "0x5752 'WR'",
                  "accepted by hardware revisions: 2\n", "verdict: would download whole"}},
        InfoCase{"PlainFileGoesToRevisionZero",
                 ImageBuilder::Plain().FillerPackets(2, 10),
                 {},
                 0,
                 {"flavour: plain Orrim file", "accepted by hardware revisions: 0\n",
                  "payload total: 20 bytes"}},
        InfoCase{"RevisionThreeFileSkipsOneAndTwo",
                 ImageBuilder::Kdx(3).FillerPackets(1, 10),
                 {},
                 0,
                 {"accepted by hardware revisions: 0 3 4 5 6 7 8 9 10 11 12 13 14 15\n"}},
        InfoCase{"DeclaredCountBelowTheFound",
                 ImageBuilder::Kdx(2).FillerPackets(3, 10).DeclaredCount(2),
                 {},
                 0,
                 {"packet count: 3 found, 2 declared (only the progress bar uses it)"}},
        InfoCase{"FewerPacketsThanDeclared",
                 ImageBuilder::Kdx(2).FillerPackets(2, 10).DeclaredCount(9),
                 {},
                 106,
                 {"packet count: 2 found, 9 declared", "Error: Premature end-of-file encountered"}},
        InfoCase{"RevisionAccepted",
                 ImageBuilder::Kdx(1).FillerPackets(1, 10),
                 {"--revision", "0"},
                 0,
                 {"hardware revision 0: accepted"}},
        InfoCase{"RevisionRefused",
                 ImageBuilder::Kdx(3).FillerPackets(1, 10),
                 {"--revision", "2"},
                 106,
                 {"hardware revision 2: refused", "verdict: would not download whole"}},
        // The download reads every packet before the port opens and learns the drive's
        // revision after: a damaged packet is its fault first, here as there.
        InfoCase{"ADamagedPacketBeforeTheRevision",
                 ImageBuilder::Kdx(3).Broken(kPayload, PacketFault::BadBop),
                 {"--revision", "2"},
                 102,
                 {"hardware revision 2: refused", "Error: read as the BOP word."}},
        InfoCase{"NoRevisionAcceptsIt",
                 ImageBuilder::Kdx(2)
                     .Header([] {
                         KdxHeader header;
                         header.revision = 16;
                         return header;
                     }())
                     .FillerPackets(1, 10),
                 {},
                 106,
                 {"accepted by hardware revisions: none"}},
        InfoCase{
            "ChecksumMismatch",
            ImageBuilder::Kdx(2).FillerPackets(1, 10).Broken(kPayload, PacketFault::BadChecksum),
            {},
            105,
            {"mismatch: stored", "Error:  Packet checksum. ", "packet count: 1 found"}},
        InfoCase{"WrongBopWord",
                 ImageBuilder::Kdx(2).FillerPackets(1, 10).Broken(kPayload, PacketFault::BadBop),
                 {},
                 102,
                 {"Error: read as the BOP word."}},
        InfoCase{"PacketTooLong",
                 ImageBuilder::Kdx(2).Broken(kPayload, PacketFault::OversizedLength),
                 {},
                 104,
                 {"   Error: A packet exceeds the maximum packet size"}},
        InfoCase{"StrayByteAfterTheLastPacketIsTolerated",
                 ImageBuilder::Kdx(2).FillerPackets(1, 10).Raw({0x00}),
                 {},
                 0,
                 {"packet count: 1 found"}},
        InfoCase{"TwoStrayBytesAreABadBopWord",
                 ImageBuilder::Kdx(2).FillerPackets(1, 10).Raw({0x00, 0x00}),
                 {},
                 102,
                 {"Error: read as the BOP word."}},
        InfoCase{"WrongMagic",
                 ImageBuilder::Kdx(2).Header(WithMagic(0x1234)).FillerPackets(1, 10),
                 {},
                 107,
                 {"verdict: Error: The input file is not recognized as an Orrim file."}},
        InfoCase{"FormatTooNew",
                 ImageBuilder::Kdx(2).Header(WithVersion(17)).FillerPackets(1, 10),
                 {},
                 108,
                 {"format version: 17"}},
        InfoCase{"NotTheKdxFamily",
                 ImageBuilder::Kdx(2).Header(WithFamily(1)).FillerPackets(1, 10),
                 {},
                 109,
                 {"verdict: Error: The input file is not recognized as a KDX Orrim file."}}),
    [](const testing::TestParamInfo<InfoCase>& param_info) { return param_info.param.name; });

TEST(ImageInfoLineTime, CountsTenBitTimesForEveryByteOfEveryPacket) {
    TempDir dir;
    const std::string image =
        dir.Write("image.orb", ImageBuilder::Kdx(2).FillerPackets(4, 250).Build());
    const CliRun run = RunCli({"image-info", image});
    ASSERT_EQ(run.status, 0);
    const double bits = 4.0 * (250 + 6) * 10;
    char expected[2][64];
    std::snprintf(expected[0], sizeof expected[0], "at  9600 baud: %.3f s", bits / 9600);
    std::snprintf(expected[1], sizeof expected[1], "at 19200 baud: %.3f s", bits / 19200);
    EXPECT_NE(run.out.find(expected[0]), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(expected[1]), std::string::npos) << run.out;
}

TEST(ImageInfoFile, AMissingFileCannotBeOpened) {
    TempDir dir;
    const CliRun run = RunCli({"image-info", dir.Path("missing.orb")});
    EXPECT_EQ(run.status, 102);
    EXPECT_EQ(run.err, "vantor-cli: " + dir.Path("missing.orb") +
                           ": cannot be opened: No such file or "
                           "directory\n");
}

TEST(ImageInfoFile, PacketOffsetsFollowTheDataOffset) {
    TempDir dir;
    const std::string image =
        dir.Write("image.orb", ImageBuilder::Kdx(2).DataOffset(40).FillerPackets(2, 10).Build());
    const CliRun run = RunCli({"image-info", image});
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("       1         40      10"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("       2         56      10"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace vantor::test
