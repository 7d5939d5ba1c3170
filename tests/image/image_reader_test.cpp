// The packet reader: what it passes as a packet, how it ends, and each error's code and text.
#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "image_test_support.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using image_writer::Bytes;
using image_writer::ImageBuilder;
using image_writer::PacketFault;
using test::TempImage;

// The packet area is large; one for the whole suite, reused as the download procedure does.
Packet& SharedPacket() {
    static auto* packet = new Packet;
    return *packet;
}

// Reads every packet of an image as the download procedure does: header, data offset, then
// ReadPacket until it stops. Keeps the codes, the payloads and the status texts.
struct ReadRun {
    HeaderResult header_result = HeaderResult::kAccepted;
    std::vector<PacketResult> results;
    std::vector<Bytes> payloads;
    std::vector<std::string> status;
};

Bytes PayloadOf(const Packet& packet) {
    Bytes payload;
    for (int index = 0; index < packet.Length; ++index) {
        payload.push_back(static_cast<std::uint8_t>(packet.Payload[index]));
    }
    return payload;
}

ReadRun ReadImage(const Bytes& bytes, int drive_revision = 2) {
    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped(window);
    TempImage image(bytes);
    ImageFile file;
    EXPECT_TRUE(file.Open(image.path()));
    ReadRun run;
    ImageHeader header;
    run.header_result = CheckHeader(file, drive_revision, "fw.orb", header);
    if (run.header_result == HeaderResult::kAccepted) {
        file.Rewind();
        file.SeekFromStart(header.DataOffset);
        Packet& packet = SharedPacket();
        PacketResult result = PacketResult::kReady;
        while (result == PacketResult::kReady && run.results.size() < 1000) {
            result = ReadPacket(file, packet);
            run.results.push_back(result);
            if (result == PacketResult::kReady) {
                run.payloads.push_back(PayloadOf(packet));
            }
        }
    }
    run.status = window.StatusTexts();
    return run;
}

std::vector<PacketResult> Ready(int count, PacketResult last) {
    std::vector<PacketResult> results(static_cast<std::size_t>(count), PacketResult::kReady);
    results.push_back(last);
    return results;
}

// ---- Sound images ----

TEST(ReadPacket, ReadsEveryPacketInOrderAndThenTheEnd) {
    const std::vector<Bytes> payloads = {
        image_writer::ErasePayload(0x10000, 0x400),
        image_writer::WritePayload(0x10000, {1, 2, 3, 4}),
        image_writer::FillerPayload(240, 0x10004, 7),
        image_writer::FillerPayload(kMaxPacketLength, 0x20000, 9),
    };
    ImageBuilder builder = ImageBuilder::Kdx(2);
    for (const Bytes& payload : payloads) {
        builder.Packet(payload);
    }
    const ReadRun run = ReadImage(builder.Build());
    EXPECT_EQ(run.results, Ready(4, PacketResult::kNoMorePackets));
    EXPECT_EQ(run.payloads, payloads);
    EXPECT_TRUE(run.status.empty());
}

TEST(ReadPacket, FillsEveryFieldOfThePacket) {
    TempImage image(image_writer::PacketBytes({0x57, 0x52, 0x00, 0xFF}));
    ImageFile file;
    ASSERT_TRUE(file.Open(image.path()));
    Packet& packet = SharedPacket();
    ASSERT_EQ(ReadPacket(file, packet), PacketResult::kReady);
    EXPECT_EQ(packet.Bop, kBopWord);
    EXPECT_EQ(packet.Length, 4);
    EXPECT_EQ(packet.Checksum, 0x00 + 0x04 + 0x57 + 0x52 + 0x00 + 0xFF);
    EXPECT_EQ(packet.ElementCount, 7);
}

// The reset frame is a packet of the image format: A5 5A, 00 06, 45 58 00 00 FF FE, 02 A0.
TEST(ReadPacket, AcceptsTheResetFrameAsAPacket) {
    const ReadRun run =
        ReadImage({0xA5, 0x5A, 0x00, 0x06, 0x45, 0x58, 0x00, 0x00, 0xFF, 0xFE, 0x02, 0xA0}, 0);
    EXPECT_EQ(run.results, Ready(1, PacketResult::kNoMorePackets));
    EXPECT_EQ(run.payloads[0], (Bytes{0x45, 0x58, 0x00, 0x00, 0xFF, 0xFE}));
}

TEST(ReadPacket, PacketOfLengthZeroIsBopLengthAndChecksumOnly) {
    TempImage image({0xA5, 0x5A, 0x00, 0x00, 0x00, 0x00});
    ImageFile file;
    ASSERT_TRUE(file.Open(image.path()));
    Packet& packet = SharedPacket();
    ASSERT_EQ(ReadPacket(file, packet), PacketResult::kReady);
    EXPECT_EQ(packet.Length, 0);
    EXPECT_EQ(packet.Checksum, 0);
    EXPECT_EQ(packet.ElementCount, 3);
    EXPECT_EQ(ReadPacket(file, packet), PacketResult::kNoMorePackets);
}

// The sum is kept modulo 65536: a large packet of 0xFF bytes wraps it many times.
TEST(ReadPacket, ChecksumWrapsModulo65536) {
    const Bytes payload(kMaxPacketLength, 0xFF);
    const ReadRun run = ReadImage(ImageBuilder::Kdx(2).Packet(payload).Build());
    EXPECT_EQ(run.results, Ready(1, PacketResult::kNoMorePackets));
}

// ---- Lengths ----

struct LengthCase {
    std::uint16_t length;
    PacketResult result;
};

class PacketLength : public testing::TestWithParam<LengthCase> {};

TEST_P(PacketLength, UpTo16398IsReadAndLongerIsRefused) {
    const LengthCase& length = GetParam();
    const std::size_t stored = std::min<std::size_t>(length.length, kMaxPacketLength + 1);
    const Bytes payload(stored, 0x11);
    const Bytes packet = image_writer::RawPacket(
        kBopWord, length.length, payload,
        static_cast<std::uint16_t>((length.length >> 8) + (length.length & 0xFF) + 0x11 * stored));
    const ReadRun run = ReadImage(ImageBuilder::Kdx(2).Raw(packet).Build());
    if (length.result == PacketResult::kReady) {
        EXPECT_EQ(run.results, Ready(1, PacketResult::kNoMorePackets));
        EXPECT_TRUE(run.status.empty());
    } else {
        EXPECT_EQ(run.results, std::vector<PacketResult>{PacketResult::kTooLong});
        EXPECT_EQ(run.status, std::vector<std::string>{test::kTooLongText});
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PacketLength,
                         testing::Values(LengthCase{1, PacketResult::kReady},
                                         LengthCase{16397, PacketResult::kReady},
                                         LengthCase{16398, PacketResult::kReady},
                                         LengthCase{16399, PacketResult::kTooLong},
                                         LengthCase{0x7FFF, PacketResult::kTooLong},
                                         LengthCase{0x8000, PacketResult::kTooLong},
                                         LengthCase{0xFFFE, PacketResult::kTooLong},
                                         LengthCase{0xFFFF, PacketResult::kTooLong}));

// ---- Broken packets: code and the one status text ----

struct BrokenCase {
    const char* name;
    Bytes tail;  // what follows two sound packets
    PacketResult result;
    const char* text;
};

Bytes SoundPayload() {
    return image_writer::FillerPayload(40, 0x30000, 3);
}

Bytes Truncated(Bytes bytes, std::size_t cut) {
    bytes.resize(bytes.size() - cut);
    return bytes;
}

std::vector<BrokenCase> BrokenCases() {
    const Bytes packet = image_writer::PacketBytes(SoundPayload());
    return {
        {"BadBop", image_writer::BrokenPacket(SoundPayload(), PacketFault::BadBop),
         PacketResult::kBadBopWord, test::kBopText},
        {"BadChecksum", image_writer::BrokenPacket(SoundPayload(), PacketFault::BadChecksum),
         PacketResult::kChecksumMismatch, test::kChecksumText},
        {"OversizedLength",
         image_writer::BrokenPacket(SoundPayload(), PacketFault::OversizedLength),
         PacketResult::kTooLong, test::kTooLongText},
        // A cut packet is normally a checksum error: the missing bytes count as -1 and the
        // missing checksum reads 0xFFFF.
        {"CutInPayload", Truncated(packet, 10), PacketResult::kChecksumMismatch,
         test::kChecksumText},
        {"CutInChecksum", Truncated(packet, 1), PacketResult::kChecksumMismatch,
         test::kChecksumText},
        {"OnlyBopWord", {0xA5, 0x5A}, PacketResult::kTooLong, test::kTooLongText},
        {"BopAndOneLengthByte", {0xA5, 0x5A, 0x00}, PacketResult::kTooLong, test::kTooLongText},
        {"TwoStrayBytes", {0x00, 0x00}, PacketResult::kBadBopWord, test::kBopText},
        {"StrayBytesThatStartABop", {0xA5, 0x00}, PacketResult::kBadBopWord, test::kBopText},
        // A file cut right after the first byte of a BOP word: not the one stray byte that is
        // tolerated after the last packet.
        {"CutInsideTheBopWord", {0xA5}, PacketResult::kPrematureEnd, test::kPrematureEndText},
    };
}

class BrokenPacketAfterSoundOnes : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenPacketAfterSoundOnes, EndsTheReadWithItsCodeAndText) {
    const BrokenCase& broken = GetParam();
    const ReadRun run = ReadImage(ImageBuilder::Kdx(2)
                                      .Packet(SoundPayload())
                                      .Packet(SoundPayload())
                                      .Raw(broken.tail)
                                      .Build());
    EXPECT_EQ(run.results, Ready(2, broken.result));
    EXPECT_EQ(run.status, std::vector<std::string>{broken.text});
}

INSTANTIATE_TEST_SUITE_P(Faults, BrokenPacketAfterSoundOnes, testing::ValuesIn(BrokenCases()),
                         [](const testing::TestParamInfo<BrokenCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// A packet cut inside its checksum is a premature end only when the sums still agree: here
// the length and payload bytes add up to 0xFFFF, which is what the missing checksum reads.
TEST(ReadPacket, CutPacketWhoseSumsAgreeIsAPrematureEnd) {
    Bytes payload(257, 0xFF);
    payload[0] = 0xFE;
    payload[1] = 0xFE;  // 0x01 + 0x01 + 255 * 0xFF + 2 * 0xFE == 0xFFFF
    ASSERT_EQ(image_writer::PacketChecksum(payload), 0xFFFF);
    const ReadRun run = ReadImage(ImageBuilder::Kdx(2).Packet(payload).Truncate(1).Build());
    EXPECT_EQ(run.results, std::vector<PacketResult>{PacketResult::kPrematureEnd});
    EXPECT_EQ(run.status, std::vector<std::string>{test::kPrematureEndText});
}

// The same with the payload cut: one missing byte counts -1, so the stored bytes add to 0x10000.
TEST(ReadPacket, PacketCutInPayloadWhoseSumsAgreeIsAPrematureEnd) {
    Bytes payload(258, 0xFF);
    payload[0] = 0xFD;  // 0x01 + 0x02 + 0xFD + 256 * 0xFF == 0x10000; the last 0xFF is cut
    const Bytes packet = image_writer::RawPacket(kBopWord, 258, payload, 0xFFFF);
    const ReadRun run = ReadImage(ImageBuilder::Kdx(2).Raw(Truncated(packet, 3)).Build());
    EXPECT_EQ(run.results, std::vector<PacketResult>{PacketResult::kPrematureEnd});
    EXPECT_EQ(run.status, std::vector<std::string>{test::kPrematureEndText});
}

TEST(ReadPacket, OneStrayByteAfterTheLastPacketIsIgnored) {
    const ReadRun run = ReadImage(ImageBuilder::Kdx(2).Packet(SoundPayload()).Raw({0x5A}).Build());
    EXPECT_EQ(run.results, Ready(1, PacketResult::kNoMorePackets));
    EXPECT_TRUE(run.status.empty());
}

// ---- Where the packets start ----

TEST(ReadPacket, DataOffsetBeyondTheEndGivesNoPacket) {
    image_writer::KdxHeader header;
    header.packet_count = 2;
    header.data_offset = 4000;
    const Bytes bytes = ImageBuilder::Kdx(2).FillerPackets(2, 30).Build();
    Bytes image = image_writer::KdxHeaderBytes(header);
    image.insert(image.end(), bytes.begin() + image_writer::kKdxHeaderBytes, bytes.end());
    ASSERT_LT(image.size(), 4000u);
    const ReadRun run = ReadImage(image);
    EXPECT_EQ(run.header_result, HeaderResult::kAccepted);
    EXPECT_EQ(run.results, std::vector<PacketResult>{PacketResult::kNoMorePackets});
    EXPECT_TRUE(run.status.empty());
}

TEST(ReadPacket, DataOffsetSkipsTheBytesAfterTheHeader) {
    const Bytes payload = SoundPayload();
    const Bytes bytes = ImageBuilder::Kdx(2).DataOffset(64).Packet(payload).Build();
    ASSERT_EQ(bytes.size(), 64 + payload.size() + 6);
    const ReadRun run = ReadImage(bytes);
    EXPECT_EQ(run.results, Ready(1, PacketResult::kNoMorePackets));
    EXPECT_EQ(run.payloads, std::vector<Bytes>{payload});
}

// A negative data offset reads from the start: for a file that begins with its first
// packet, that is where the packets are.
TEST(ReadPacket, NegativeDataOffsetReadsFromTheStartOfTheFile) {
    const Bytes first = SoundPayload();
    const Bytes second = image_writer::ErasePayload(0x40000, 0x100);
    Bytes bytes = image_writer::PacketBytes(first);
    const Bytes more = image_writer::PacketBytes(second);
    bytes.insert(bytes.end(), more.begin(), more.end());
    const ReadRun run = ReadImage(bytes, 0);
    EXPECT_EQ(run.header_result, HeaderResult::kAccepted);
    EXPECT_EQ(run.results, Ready(2, PacketResult::kNoMorePackets));
    EXPECT_EQ(run.payloads, (std::vector<Bytes>{first, second}));
}

TEST(ReadPacket, EmptyPlainFileGivesDriveZeroNoPacket) {
    const ReadRun run = ReadImage({}, 0);
    EXPECT_EQ(run.header_result, HeaderResult::kAccepted);
    EXPECT_EQ(run.results, std::vector<PacketResult>{PacketResult::kNoMorePackets});
    EXPECT_TRUE(run.status.empty());
}

// ---- Words and bytes at the end of the file ----

TEST(ReadFileWord, ReadsHighByteFirstAndFFFFAtOrAcrossTheEnd) {
    TempImage image({0x12, 0x34, 0xAB});
    ImageFile file;
    ASSERT_TRUE(file.Open(image.path()));
    EXPECT_EQ(ReadFileWord(file), 0x1234);
    EXPECT_FALSE(file.EndMet());
    EXPECT_EQ(ReadFileWord(file), 0xFFFF);  // across the end
    EXPECT_TRUE(file.EndMet());
    EXPECT_EQ(ReadFileWord(file), 0xFFFF);  // at the end
    file.Rewind();
    EXPECT_FALSE(file.EndMet());
    EXPECT_EQ(ReadFileWord(file), 0x1234);
}

TEST(ImageFile, ReadsBytesAndSetsEndMetOnlyAtTheEnd) {
    TempImage image({0x00, 0xFF});
    ImageFile file;
    ASSERT_TRUE(file.Open(image.path()));
    EXPECT_EQ(file.ReadByte(), 0x00);
    EXPECT_EQ(file.ReadByte(), 0xFF);
    EXPECT_FALSE(file.EndMet());
    EXPECT_EQ(file.ReadByte(), -1);
    EXPECT_TRUE(file.EndMet());
    file.SeekFromStart(1);
    EXPECT_FALSE(file.EndMet());
    EXPECT_EQ(file.ReadByte(), 0xFF);
    file.SeekFromStart(-5);
    EXPECT_EQ(file.ReadByte(), 0x00);
}

// ---- Files that are not images ----

class ScopedPath {
  public:
    explicit ScopedPath(std::string path) : path_(std::move(path)) {}
    ~ScopedPath() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string TempName(const char* stem) {
    return testing::TempDir() + stem + std::to_string(::getpid());
}

TEST(ImageFile, RefusesAMissingFile) {
    ImageFile file;
    EXPECT_FALSE(file.Open(TempName("vantor-no-such-image-")));
    EXPECT_FALSE(file.IsOpen());
}

// A directory reads as an empty stream here, which would pass for an empty plain image and
// "download" nothing successfully.
TEST(ImageFile, RefusesADirectory) {
    const ScopedPath folder(TempName("vantor-image-folder-"));
    ASSERT_TRUE(std::filesystem::create_directory(folder.path()));
    ImageFile file;
    EXPECT_FALSE(file.Open(folder.path()));
}

#ifndef _WIN32
// Opening a FIFO for reading would wait for a writer forever (Windows has no FIFOs in its file
// system).
TEST(ImageFile, RefusesAFifoWithoutWaiting) {
    const ScopedPath fifo(TempName("vantor-image-fifo-"));
    ASSERT_EQ(::mkfifo(fifo.path().c_str(), 0600), 0);
    ImageFile file;
    EXPECT_FALSE(file.Open(fifo.path()));
}
#endif

#ifndef _WIN32
// Wine's C runtime reads a write-only stream as an empty one, without an error, so the failing
// read below is made only on POSIX systems.
// A read that fails is not the end of the image: treating it so would report a partly read
// image as downloaded.
TEST(ReadPacket, ReadErrorIsAPrematureEndNotTheEndOfThePackets) {
    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped(window);
    TempImage image(ImageBuilder::Kdx(2).FillerPackets(1, 20).Build());
    ImageFile file;
    ASSERT_TRUE(file.Adopt(std::fopen(image.path().c_str(), "ab")));  // reading it fails
    EXPECT_EQ(ReadPacket(file, SharedPacket()), PacketResult::kPrematureEnd);
    EXPECT_EQ(window.StatusTexts(), std::vector<std::string>{test::kPrematureEndText});
}
#endif

// The same through Open: /proc/self/mem is a regular file whose first read fails.
TEST(ReadPacket, ReadErrorOfAnOpenedFileIsAPrematureEnd) {
    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped(window);
    ImageFile file;
    if (!file.Open("/proc/self/mem")) {
        GTEST_SKIP() << "no /proc/self/mem to read from";
    }
    EXPECT_EQ(ReadPacket(file, SharedPacket()), PacketResult::kPrematureEnd);
    EXPECT_TRUE(file.ReadFailed());
    EXPECT_EQ(window.StatusTexts(), std::vector<std::string>{test::kPrematureEndText});
}

TEST(ImageFile, CloseIsSafeTwiceAndReadsAfterCloseMeetTheEnd) {
    TempImage image({0x01, 0x02});
    ImageFile file;
    ASSERT_TRUE(file.Open(image.path()));
    file.Close();
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.ReadByte(), -1);
    EXPECT_TRUE(file.EndMet());
}

// The numbers the design gives the reader's results; a revision mismatch and a premature end
// share -6 there.
TEST(ReaderResults, KeepTheDesignsNumbers) {
    EXPECT_EQ(DesignCode(HeaderResult::kAccepted), 0);
    EXPECT_EQ(DesignCode(HeaderResult::kRevisionMismatch), -6);
    EXPECT_EQ(DesignCode(HeaderResult::kNotOrrimMagic), -7);
    EXPECT_EQ(DesignCode(HeaderResult::kFormatTooNew), -8);
    EXPECT_EQ(DesignCode(HeaderResult::kNotKdxFamily), -9);
    EXPECT_EQ(DesignCode(PacketResult::kReady), 0);
    EXPECT_EQ(DesignCode(PacketResult::kNoMorePackets), -1);
    EXPECT_EQ(DesignCode(PacketResult::kBadBopWord), -2);
    EXPECT_EQ(DesignCode(PacketResult::kTooLong), -4);
    EXPECT_EQ(DesignCode(PacketResult::kChecksumMismatch), -5);
    EXPECT_EQ(DesignCode(PacketResult::kPrematureEnd), -6);
}

}  // namespace
}  // namespace vantor
