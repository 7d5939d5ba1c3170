// The image file read in blocks from the disk against the same file held in memory, the SHA-256
// of the system's library against the standard's test vectors, and a block that changed on the
// disk after it was read.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/image_reader.h"
#include "image/sha256.h"
#include "image_test_support.h"
#include "platform/window_link.h"
#include "support/test_support.h"

namespace vantor::test {
namespace {

using image_writer::Bytes;
using image_writer::ImageBuilder;

// The three vectors of FIPS 180-2's appendix B, each added in pieces of every awkward size.
TEST(Sha256, GivesTheStandardsDigestsWhateverPiecesTheBytesComeIn) {
    const std::string million(1'000'000, 'a');
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [text, expected] : vectors) {
        EXPECT_EQ(Sha256Hex(text), expected);
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{63}, std::size_t{65}, std::size_t{4097}}) {
            Sha256Hasher hash;
            for (std::size_t at = 0; at < text.size(); at += piece) {
                const std::size_t count = std::min(piece, text.size() - at);
                hash.Add(reinterpret_cast<const unsigned char*>(text.data() + at), count);
                if (at == 0) {
                    hash.Digest();  // a look on the way does not end the hashing
                }
            }
            EXPECT_EQ(hash.Hex(), expected) << "in pieces of " << piece;
        }
    }
}

struct Read {
    std::vector<Bytes> packets;
    PacketResult end = PacketResult::kReady;
    std::optional<FileDigest> digest;
};

// The download's two passes: the check of the whole image, then the packets from the start.
Read CheckThenSend(ImageFile& file) {
    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped(window);
    ImageHeader header;
    auto packet = std::make_unique<Packet>();
    Read read;
    int packets = 0;
    if (CheckHeader(file, kRevisionNotYetKnown, "", header) != HeaderResult::kAccepted ||
        CheckWholeImage(file, header, *packet, packets) != PacketResult::kReady) {
        return read;
    }
    read.digest = file.Digest();
    file.Rewind();
    file.SeekFromStart(header.DataOffset);
    while ((read.end = ReadPacket(file, *packet)) == PacketResult::kReady) {
        Bytes bytes = {static_cast<std::uint8_t>(packet->Bop >> 8),
                       static_cast<std::uint8_t>(packet->Bop),
                       static_cast<std::uint8_t>(packet->Length >> 8),
                       static_cast<std::uint8_t>(packet->Length)};
        for (int i = 0; i < packet->Length; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(packet->Payload[i]));
        }
        read.packets.push_back(bytes);
    }
    return read;
}

class BlockSize : public ::testing::TestWithParam<std::size_t> {};

// Whatever the block size, and wherever a packet or the data offset falls against the blocks,
// the file read from the disk gives what it gives from memory.
TEST_P(BlockSize, DiskReadsGiveThePacketsAndDigestOfTheFileInMemory) {
    const Bytes bytes = ImageBuilder::Kdx(2)
                            .DataOffset(40)
                            .FillerPackets(3, 5000)
                            .FillerPackets(4, 7, 0x20000, 3)
                            .FillerPackets(2, 16398, 0x30000, 5)
                            .Build();
    TempImage image(bytes);
    ImageFile held;
    ASSERT_TRUE(held.Open(image.path()));
    ASSERT_EQ(held.source(), ImageFile::Source::kMemory);
    ImageFile disk;
    ASSERT_TRUE(disk.Open(image.path(), 0, GetParam()));
    ASSERT_EQ(disk.source(), ImageFile::Source::kDisk);

    const Read from_memory = CheckThenSend(held);
    const Read from_disk = CheckThenSend(disk);
    ASSERT_EQ(from_memory.packets.size(), 9u);
    EXPECT_EQ(from_disk.packets, from_memory.packets);
    EXPECT_EQ(from_disk.end, PacketResult::kNoMorePackets);
    ASSERT_TRUE(from_disk.digest && from_memory.digest);
    EXPECT_EQ(from_disk.digest->sha256, from_memory.digest->sha256);
    EXPECT_EQ(from_disk.digest->sha256, DigestFile(image.path())->sha256);
    EXPECT_EQ(from_disk.digest->size_bytes, static_cast<long long>(bytes.size()));
    EXPECT_FALSE(disk.Changed());
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSize,
                         ::testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{64},
                                           std::size_t{5006}, std::size_t{65536},
                                           kImageBlockBytes));

// Read again after a change on the disk, the block that changed is refused whole: the reads
// end where it begins, and every byte handed out is the file's as first read.
TEST(ImageFile, ABlockThatChangedOnTheDiskIsNotHandedOut) {
    Bytes bytes(3 * 4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    TempImage image(bytes);
    ImageFile file;
    ASSERT_TRUE(file.Open(image.path(), 0, 4096));
    while (file.ReadByte() >= 0) {
    }
    ASSERT_TRUE(file.Digest());
    {
        std::fstream out(image.path(), std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(2 * 4096 + 100);
        out.put(0x55);
    }
    file.Rewind();
    Bytes again;
    for (int byte = file.ReadByte(); byte >= 0; byte = file.ReadByte()) {
        again.push_back(static_cast<std::uint8_t>(byte));
    }
    EXPECT_EQ(again, Bytes(bytes.begin(), bytes.begin() + 2 * 4096));
    EXPECT_TRUE(file.Changed());
    EXPECT_TRUE(file.ReadFailed());
    EXPECT_FALSE(file.Digest());
}

}  // namespace
}  // namespace vantor::test
