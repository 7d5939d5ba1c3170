// The image writer that the tests, the fuzz corpus and the demo image rely on: its packets must
// be exactly what the reader expects, and its broken ones broken in the one way named.
#include <gtest/gtest.h>

#include "image/image_writer.h"

namespace vantor {
namespace {

using image_writer::Bytes;
using image_writer::ImageBuilder;

TEST(ImageWriter, ChecksumOfTheResetFrameIs02A0) {
    EXPECT_EQ(image_writer::PacketChecksum({0x45, 0x58, 0x00, 0x00, 0xFF, 0xFE}), 0x02A0);
    EXPECT_EQ(image_writer::PacketBytes({0x45, 0x58, 0x00, 0x00, 0xFF, 0xFE}),
              (Bytes{0xA5, 0x5A, 0x00, 0x06, 0x45, 0x58, 0x00, 0x00, 0xFF, 0xFE, 0x02, 0xA0}));
}

TEST(ImageWriter, CommandPayloadsBeginWithTheCommandWordAndAddress) {
    EXPECT_EQ(image_writer::WritePayload(0x00012345, {0xAA}),
              (Bytes{0x57, 0x52, 0x00, 0x01, 0x23, 0x45, 0xAA}));
    EXPECT_EQ(image_writer::ErasePayload(0x00020000, 0x0400),
              (Bytes{0x45, 0x52, 0x00, 0x02, 0x00, 0x00, 0x04, 0x00}));
    const Bytes filler = image_writer::FillerPayload(240, 0x10000, 1);
    EXPECT_EQ(filler.size(), 240u);
    EXPECT_EQ(Bytes(filler.begin(), filler.begin() + 6), (Bytes{0x57, 0x52, 0x00, 0x01, 0, 0}));
    EXPECT_EQ(filler, image_writer::FillerPayload(240, 0x10000, 1)) << "the same every time";
    EXPECT_NE(filler, image_writer::FillerPayload(240, 0x10000, 2)) << "the seed matters";
}

TEST(ImageWriter, KdxImageHasTheHeaderFieldsInFileOrder) {
    const Bytes image = ImageBuilder::Kdx(2).FillerPackets(3, 10).Build();
    ASSERT_EQ(image.size(), 16u + 3 * 16);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 16),
              (Bytes{0, 0, 0, 3, 0x4F, 0x72, 0, 16, 0, 0, 0, 0, 0, 2, 0, 16}));
    EXPECT_EQ(image[16], 0xA5);
    EXPECT_EQ(image[17], 0x5A);
}

TEST(ImageWriter, PlainImageStartsWithItsDataOffsetAndCount) {
    const Bytes image = ImageBuilder::Plain().DeclaredCount(9).FillerPackets(1, 6).Build();
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 4), (Bytes{0, 4, 0, 9}));
    EXPECT_EQ(image.size(), 4u + 12);
}

TEST(ImageWriter, BrokenPacketsDifferFromTheSoundOneOnlyWhereNamed) {
    const Bytes payload = {0x57, 0x52, 1, 2, 3, 4, 5};
    const Bytes sound = image_writer::PacketBytes(payload);
    Bytes bad_bop = image_writer::BrokenPacket(payload, image_writer::PacketFault::BadBop);
    Bytes bad_sum = image_writer::BrokenPacket(payload, image_writer::PacketFault::BadChecksum);
    const Bytes too_long =
        image_writer::BrokenPacket(payload, image_writer::PacketFault::OversizedLength);
    EXPECT_NE(bad_bop[1], sound[1]);
    bad_bop[1] = sound[1];
    EXPECT_EQ(bad_bop, sound);
    EXPECT_NE(bad_sum.back(), sound.back());
    bad_sum.back() = sound.back();
    EXPECT_EQ(bad_sum, sound);
    EXPECT_EQ(too_long[2] << 8 | too_long[3], kMaxPacketLength + 1);
}

TEST(ImageWriter, TruncateCutsTheEndOfTheImage) {
    const Bytes whole = ImageBuilder::Kdx(2).FillerPackets(1, 10).Build();
    const Bytes cut = ImageBuilder::Kdx(2).FillerPackets(1, 10).Truncate(3).Build();
    EXPECT_EQ(cut, Bytes(whole.begin(), whole.end() - 3));
    EXPECT_TRUE(ImageBuilder::Plain().Truncate(100).Build().empty());
}

}  // namespace
}  // namespace vantor
