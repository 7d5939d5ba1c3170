#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include "image/sha256.h"
#include "job/download_image.h"
#include "job_fixture.h"
#include "link/serial_port.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;

constexpr std::uint16_t kDriveIdent = 0x2083;  // hardware revision 2, the simulated default

class DownloadImageTest : public ::testing::Test {
  protected:
    // Three packets of 40 payload bytes for revision 2.
    ImageBuilder ThreePackets() { return ImageBuilder::Kdx(2).FillerPackets(3, 40); }

    ImageResult Download(const std::string& sim_options, const ImageBuilder& image) {
        return DownloadFile(sim_options, files.Image(image), kDriveIdent);
    }

    ImageResult DownloadFile(const std::string& sim_options, const std::string& path,
                             std::uint16_t ident) {
        bench.reset();  // a bench restores the clock and the port map it found
        bench = std::make_unique<SimBench>(sim_options);
        EXPECT_EQ(OpenDrivePort(19200, '1', platform::PortMap()), PortResult::kDone);
        const ImageResult result = DownloadImage(path, ident);
        ClosePort();
        return result;
    }

    std::vector<std::string> Statuses() { return bench->window.StatusTexts(); }
    std::vector<Bytes> Accepted() { return bench->world->AcceptedPackets(); }

    std::unique_ptr<SimBench> bench;
    TempFiles files;
};

TEST_F(DownloadImageTest, SendsEveryPacketInOrderAndSoundsTheTone) {
    const ImageBuilder image = ThreePackets();
    EXPECT_EQ(Download("", image), ImageResult::kDownloaded);
    EXPECT_EQ(Accepted(), PacketsOf(image.Build(), 16));
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Processing file", "Downloading packet 1",
                                                    "Downloading packet 2", "Downloading packet 3",
                                                    "Download successful"}));
    const auto calls = bench->window.Calls();
    std::vector<std::string> progress;
    for (const auto& call : calls) {
        if (call.what == "range") {
            progress.push_back("range " + std::to_string(call.a) + ".." + std::to_string(call.b));
        } else if (call.what == "pos") {
            progress.push_back("pos " + std::to_string(call.a));
        }
    }
    EXPECT_EQ(progress,
              (std::vector<std::string>{"range 0..3", "pos 0", "pos 1", "pos 2", "pos 3"}));
    // The tone takes its full second after the last packet.
    EXPECT_GE(bench->ElapsedMs(), 1000.0);
}

TEST_F(DownloadImageTest, AFileWithItsDataOffsetAtItsEndSendsNothingAndSucceeds) {
    EXPECT_EQ(Download("", ImageBuilder::Kdx(2).DeclaredCount(0)), ImageResult::kDownloaded);
    EXPECT_TRUE(Accepted().empty());
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Processing file", "Download successful"}));
}

TEST_F(DownloadImageTest, AMissingFileCannotBeOpened) {
    bench = std::make_unique<SimBench>("");
    ASSERT_EQ(OpenDrivePort(19200, '1', platform::PortMap()), PortResult::kDone);
    EXPECT_EQ(DownloadImage("/nonexistent/folder/x.orb", kDriveIdent), ImageResult::kUnopenable);
    ClosePort();
    EXPECT_EQ(Statuses(), std::vector<std::string>{"Error: Unable to open file"});
}

TEST_F(DownloadImageTest, AHeaderRejectionPassesItsCodeOn) {
    EXPECT_EQ(Download("", ImageBuilder::Kdx(1).FillerPackets(1, 8)),
              ImageResult::kRevisionMismatch);
    EXPECT_EQ(bench->window.Boxes().size(), 1u);
    EXPECT_TRUE(bench->world->HostBytes().empty());
}

TEST_F(DownloadImageTest, AnAcknowledgementAtTheThirdSendComesAfterTwoResynchronisations) {
    const ImageBuilder image = ImageBuilder::Kdx(2).FillerPackets(1, 40);
    EXPECT_EQ(Download("ack-on-send=3", image), ImageResult::kDownloaded);
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Processing file", "Downloading packet 1",
                                                    "Attempting to resychronize communications",
                                                    "Attempting to resychronize communications",
                                                    "Download successful"}));
    int host_breaks = 0;
    for (const auto& event : bench->world->Traffic()) {
        host_breaks += event.kind == sim::LineEvent::Kind::HostBreak ? 1 : 0;
    }
    EXPECT_EQ(host_breaks, 2);
    EXPECT_EQ(Accepted(), PacketsOf(image.Build(), 16));
}

TEST_F(DownloadImageTest, ThreeSendsWithoutAcknowledgementFailThePacket) {
    EXPECT_EQ(Download("ack-on-send=4", ThreePackets()), ImageResult::kNotAcknowledged);
    EXPECT_EQ(Statuses().back(), "Error: Packet 1 transmission failure.");
    EXPECT_TRUE(Accepted().empty());
}

TEST_F(DownloadImageTest, ARefusedSendIsRepeatedAfterAResynchronisation) {
    const ImageBuilder image = ThreePackets();
    EXPECT_EQ(Download("refuse-first", image), ImageResult::kDownloaded);
    EXPECT_EQ(Accepted(), PacketsOf(image.Build(), 16));
    const auto statuses = Statuses();
    EXPECT_EQ(
        std::count(statuses.begin(), statuses.end(), "Attempting to resychronize communications"),
        3);
}

// An invalid-command response ends the download only when the acknowledgement took all three
// sends.
TEST_F(DownloadImageTest, InvalidCommandAfterTheFirstSendGoesOn) {
    EXPECT_EQ(Download("response=??", ThreePackets()), ImageResult::kDownloaded);
    EXPECT_EQ(Accepted().size(), 3u);
}

TEST_F(DownloadImageTest, InvalidCommandAfterTheThirdSendEndsTheDownload) {
    EXPECT_EQ(Download("response=??,ack-on-send=3", ThreePackets()), ImageResult::kInvalidCommand);
    EXPECT_EQ(Statuses().back(), "Error: Packet invalid command failure.");
    EXPECT_EQ(Accepted().size(), 1u);
}

TEST_F(DownloadImageTest, ProtectedMemoryIsAWarningAndTheDownloadGoesOn) {
    EXPECT_EQ(Download("status=0x0080", ThreePackets()), ImageResult::kDownloaded);
    const auto statuses = Statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(),
                         "WARNING: Packet attemped to write or erase protected memory."),
              3);
    EXPECT_EQ(Accepted().size(), 3u);
}

TEST_F(DownloadImageTest, AnErrorStatusEndsTheDownload) {
    EXPECT_EQ(Download("status=0x0001", ThreePackets()), ImageResult::kResponseFailed);
    const auto statuses = Statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], "Error: Packet data response error");
    EXPECT_EQ(statuses.back(), "Error: Packet  data response failure.");
    EXPECT_EQ(Accepted().size(), 1u);
}

TEST_F(DownloadImageTest, AMissingResponseCosts3000PollsAndTheDownloadGoesOn) {
    EXPECT_EQ(Download("no-response", ThreePackets()), ImageResult::kDownloaded);
    EXPECT_EQ(Accepted().size(), 3u);
    EXPECT_GE(bench->ElapsedMs(), 3 * 3000.0 + 1000.0);
}

TEST_F(DownloadImageTest, AReadResponseWaitsForItsDataAndDropsIt) {
    bench = std::make_unique<SimBench>("");
    ASSERT_EQ(OpenDrivePort(19200, '1', platform::PortMap()), PortResult::kDone);
    // 'RD', a 32-bit address and a count word of 6: the drive answers with six data bytes.
    const Bytes payload = {0x52, 0x44, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06};
    Packet packet;
    packet.Bop = kBopWord;
    packet.Length = static_cast<std::uint16_t>(payload.size());
    packet.ElementCount = static_cast<std::uint16_t>(packet.Length + 3);
    std::copy(payload.begin(), payload.end(), packet.Payload.begin());
    packet.Checksum = image_writer::PacketChecksum(payload);
    SendPacket(packet);
    EXPECT_EQ(WaitAck(kAckPollBudget), AckResult::kAcknowledged);
    EXPECT_EQ(ReadResponse(kResponsePollBudget), ResponseResult::kRd);
    EXPECT_EQ(PortBytesWaiting(), 0);
    ClosePort();
}

// 'RD' payload: the command word, a 32-bit address and the count of bytes to read back.
Bytes ReadPayload(std::uint16_t count) {
    return {0x52,
            0x44,
            0x00,
            0x01,
            0x00,
            0x00,
            static_cast<std::uint8_t>(count >> 8),
            static_cast<std::uint8_t>(count & 0xFF)};
}

int Resynchronisations(const std::vector<std::string>& statuses) {
    return static_cast<int>(
        std::count(statuses.begin(), statuses.end(), "Attempting to resychronize communications"));
}

// The data of a read-back and a response that came after its budget are dropped where they
// are met, so no packet is taken as unacknowledged and sent twice.
TEST_F(DownloadImageTest, ReadBacksAndLateResponsesCostNoResynchronisation) {
    const ImageBuilder reads = ImageBuilder::Kdx(2)
                                   .FillerPackets(1, 40)
                                   .Packet(ReadPayload(32))
                                   .Packet(ReadPayload(200))
                                   .FillerPackets(1, 40, 0x20000);
    EXPECT_EQ(Download("", reads), ImageResult::kDownloaded);
    EXPECT_EQ(Resynchronisations(Statuses()), 0);
    EXPECT_EQ(Accepted(), PacketsOf(reads.Build(), 16));

    // Each response comes 3300 ms after its acknowledgement, while the next 1 KiB packet is
    // on the line.
    const ImageBuilder large = ImageBuilder::Kdx(2).FillerPackets(4, 1024);
    EXPECT_EQ(Download("process-ms=3300", large), ImageResult::kDownloaded);
    EXPECT_EQ(Resynchronisations(Statuses()), 0);
    EXPECT_EQ(Accepted(), PacketsOf(large.Build(), 16));
}

struct DamagedImage {
    const char* name;
    Bytes bytes;
    std::uint16_t ident;
    ImageResult result;
    const char* status;  // the last status text
};

class DamagedImageTest : public DownloadImageTest,
                         public ::testing::WithParamInterface<DamagedImage> {};

// A damaged or cut image is refused with the reader's result and text before its first packet
// goes on the line.
TEST_P(DamagedImageTest, IsRefusedBeforeAnyPacketIsSent) {
    const DamagedImage& c = GetParam();
    EXPECT_EQ(DownloadFile("", files.Add(image_writer::WriteTempFile(c.bytes)), c.ident), c.result);
    const std::vector<std::string> statuses = Statuses();
    EXPECT_EQ(statuses.back(), c.status);
    EXPECT_TRUE(Accepted().empty());
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Downloading packet 1"), 0);
}

Bytes CutAfterPackets(int kept, int declared) {
    Bytes bytes = ImageBuilder::Kdx(2)
                      .DeclaredCount(static_cast<std::uint16_t>(declared))
                      .FillerPackets(kept, 40)
                      .Build();
    return bytes;
}

constexpr const char* kPrematureText = "Error: Premature end-of-file encountered";

INSTANTIATE_TEST_SUITE_P(
    Images, DamagedImageTest,
    ::testing::Values(
        DamagedImage{"KdxCutAfterThreeOfEightPackets", CutAfterPackets(3, 8), kDriveIdent,
                     ImageResult::kPrematureEnd, kPrematureText},
        DamagedImage{"KdxHeaderWithoutItsPacket", CutAfterPackets(0, 1), kDriveIdent,
                     ImageResult::kPrematureEnd, kPrematureText},
        DamagedImage{
            "EmptyFileToRevisionZero", {}, 0x0083, ImageResult::kPrematureEnd, kPrematureText},
        DamagedImage{"TextWhoseOffsetLiesPastItsEnd",
                     {'h', 'e', 'l', 'l', 'o', ' ', 'd', 'r', 'i', 'v', 'e', '\n'},
                     0x0083,
                     ImageResult::kPrematureEnd,
                     kPrematureText},
        DamagedImage{"CutInsideTheThirdPacket",
                     ImageBuilder::Kdx(2).FillerPackets(3, 40).Truncate(10).Build(), kDriveIdent,
                     ImageResult::kChecksumMismatch, "Error:  Packet checksum. "}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// What the design lets pass stays passing: a count below the packets present only narrows
// the progress range, and a plain file's count is not checked.
TEST_F(DownloadImageTest, ACountBelowThePacketsOrAPlainFilesCountIsNotChecked) {
    const ImageBuilder fewer = ImageBuilder::Kdx(2).DeclaredCount(1).FillerPackets(3, 40);
    EXPECT_EQ(Download("", fewer), ImageResult::kDownloaded);
    EXPECT_EQ(Accepted().size(), 3u);
    const ImageBuilder plain = ImageBuilder::Plain().DeclaredCount(9).FillerPackets(2, 40);
    EXPECT_EQ(DownloadFile("ident=0x0083", files.Image(plain), 0x0083), ImageResult::kDownloaded);
    EXPECT_EQ(Accepted().size(), 2u);
}

TEST_F(DownloadImageTest, APacketErrorEndsTheDownloadWithTheReadersCode) {
    const ImageBuilder image = ImageBuilder::Kdx(2).FillerPackets(1, 20).Broken(
        image_writer::FillerPayload(20, 0x100, 2), image_writer::PacketFault::BadChecksum);
    EXPECT_EQ(Download("", image), ImageResult::kChecksumMismatch);
    EXPECT_EQ(Statuses().back(), "Error:  Packet checksum. ");
    EXPECT_TRUE(Accepted().empty());
}

// A window that passes everything on to the bench's and, when the status line first shows
// `trigger`, does `change` to the image file: the operator or a script touching the file while
// the download runs.
class FileChangingWindow final : public platform::WindowLink {
  public:
    FileChangingWindow(platform::WindowLink& inner, std::string trigger,
                       std::function<void()> change)
        : inner_(inner), trigger_(std::move(trigger)), change_(std::move(change)) {}

    void SetText(platform::Display display, const std::string& text) override {
        inner_.SetText(display, text);
        if (display == platform::Display::StatusLine && text == trigger_ && change_) {
            std::exchange(change_, nullptr)();
        }
    }
    std::string GetText(platform::Display display) override { return inner_.GetText(display); }
    void SetProgressRange(int low, int high) override { inner_.SetProgressRange(low, high); }
    void SetProgressPos(int pos) override { inner_.SetProgressPos(pos); }
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override {
        inner_.MessageBox(text, caption, icon);
    }
    void Post(int notify_fd, int message) override { inner_.Post(notify_fd, message); }
    void PostQuit() override { inner_.PostQuit(); }

  private:
    platform::WindowLink& inner_;
    std::string trigger_;
    std::function<void()> change_;
};

void Overwrite(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string Sha256Of(const Bytes& bytes) {
    return Sha256Hex(std::string(bytes.begin(), bytes.end()));
}

constexpr const char* kChangedText = "Error: The image file changed during the download";

struct FileChange {
    const char* name;
    std::size_t memory_limit_bytes;
    std::size_t block_bytes;
    bool replace;  // rewrite the file with another image of the same size; else cut it short
    ImageResult result;
};

class ImageChangedWhileSentTest : public DownloadImageTest,
                                  public ::testing::WithParamInterface<FileChange> {};

// The file is cut short, or rewritten with another image, while its third packet is on the
// line. Held in memory, or in one block read from the disk, the checked bytes go out whole;
// read from the disk in smaller blocks, the change shows at the next block, whose bytes are
// not those that were checked. Only the bytes that were checked may reach the drive.
TEST_P(ImageChangedWhileSentTest, NeverSendsBytesThatWereNotChecked) {
    const FileChange& c = GetParam();
    const Bytes original = ImageBuilder::Kdx(2).FillerPackets(80, 1018).Build();
    const Bytes other = ImageBuilder::Kdx(2).FillerPackets(80, 1018, 0x00010000, 7).Build();
    ASSERT_EQ(original.size(), other.size());
    ASSERT_GT(original.size(), 64u * 1024);
    const std::string path = files.Add(image_writer::WriteTempFile(original));

    bench = std::make_unique<SimBench>("");
    FileChangingWindow window(bench->window, "Downloading packet 3", [&] {
        if (c.replace) {
            Overwrite(path, other);
        } else {
            std::filesystem::resize_file(path, image_writer::kKdxHeaderBytes + 10 * 1024);
        }
    });
    platform::ScopedWindowLink changing(window);
    ASSERT_EQ(OpenDrivePort(19200, '1', platform::PortMap()), PortResult::kDone);
    DownloadTally tally;
    DownloadImageOptions options;
    options.tally = &tally;
    options.memory_limit_bytes = c.memory_limit_bytes;
    options.block_bytes = c.block_bytes;
    EXPECT_EQ(DownloadImage(path, kDriveIdent, options), c.result);
    ClosePort();

    const std::vector<Bytes> sent = PacketsOf(original, 16);
    const std::vector<Bytes> accepted = Accepted();
    ASSERT_EQ(tally.Images.size(), 1u);
    const SentImage& image = tally.Images[0];
    EXPECT_EQ(image.Path, path);
    // The record holds the digest of the bytes the packets were taken from: the checked image's
    // when nothing changed; after a change on the disk, the digest of what was read when the
    // reads met the file's end (how far a stream's buffer reads ahead of a cut is the system's),
    // and none otherwise. Never the checked digest for bytes that were not those.
    const bool on_disk = c.result == ImageResult::kImageChanged;
    EXPECT_EQ(image.ChangedWhileSent, on_disk);
    if (!on_disk) {
        EXPECT_EQ(image.SizeBytes, static_cast<long long>(original.size()));
        EXPECT_EQ(image.Sha256, Sha256Of(original));
    } else {
        EXPECT_NE(image.Sha256, Sha256Of(original));
    }
    EXPECT_EQ(image.PacketsDeclared, 80);
    EXPECT_EQ(image.PacketsSent, static_cast<int>(accepted.size()));
    if (c.result == ImageResult::kDownloaded) {
        EXPECT_EQ(accepted, sent);
        EXPECT_EQ(Statuses().back(), "Download successful");
        return;
    }
    // Nothing but the checked image's packets went out before the change showed, and the run
    // fails rather than pass for a success.
    EXPECT_EQ(Statuses().back(), kChangedText);
    ASSERT_LT(accepted.size(), sent.size());
    EXPECT_EQ(accepted, std::vector<Bytes>(sent.begin(), sent.begin() + accepted.size()));
    const std::vector<std::string> statuses = Statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Download successful"), 0);
    EXPECT_EQ(tally.ImagesDownloaded, 0);
}

constexpr std::size_t kSmallBlockBytes = 16 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Changes, ImageChangedWhileSentTest,
    ::testing::Values(
        FileChange{"CutInMemory", kImageMemoryLimitBytes, kImageBlockBytes, false,
                   ImageResult::kDownloaded},
        FileChange{"ReplacedInMemory", kImageMemoryLimitBytes, kImageBlockBytes, true,
                   ImageResult::kDownloaded},
        FileChange{"CutOnDiskInOneBlock", 0, kImageBlockBytes, false, ImageResult::kDownloaded},
        FileChange{"CutOnDisk", 0, kSmallBlockBytes, false, ImageResult::kImageChanged},
        FileChange{"ReplacedOnDisk", 0, kSmallBlockBytes, true, ImageResult::kImageChanged}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// An image that is not the one the run set out to send is refused before anything of it goes
// on the line, from memory as from the disk; the one it named goes.
TEST_F(DownloadImageTest, AnImageWithOtherBytesThanExpectedIsNotSent) {
    const ImageBuilder image = ThreePackets();
    const std::string path = files.Image(image);
    const std::string other = Sha256Of(ImageBuilder::Kdx(2).FillerPackets(3, 41).Build());
    for (const std::size_t limit : {kImageMemoryLimitBytes, std::size_t{0}}) {
        bench.reset();
        bench = std::make_unique<SimBench>("");
        ASSERT_EQ(OpenDrivePort(19200, '1', platform::PortMap()), PortResult::kDone);
        DownloadImageOptions options;
        options.memory_limit_bytes = limit;
        options.expected_sha256 = other;
        EXPECT_EQ(DownloadImage(path, kDriveIdent, options), ImageResult::kImageChanged);
        EXPECT_TRUE(bench->world->HostBytes().empty());
        EXPECT_EQ(Statuses().back(), kChangedText);
        options.expected_sha256 = Sha256Of(image.Build());
        EXPECT_EQ(DownloadImage(path, kDriveIdent, options), ImageResult::kDownloaded);
        EXPECT_EQ(Accepted(), PacketsOf(image.Build(), 16));
        ClosePort();
    }
}

// The numbers the design gives an image's results, shown in exit statuses and records: they
// overlap the reader's, -2 for a file that cannot be opened as for a bad BOP word.
TEST(ImageResults, KeepTheDesignsNumbers) {
    const std::vector<std::pair<ImageResult, int>> numbers = {
        {ImageResult::kDownloaded, 0},        {ImageResult::kUnopenable, -2},
        {ImageResult::kNotAcknowledged, -3},  {ImageResult::kResponseFailed, -4},
        {ImageResult::kInvalidCommand, -5},   {ImageResult::kStopped, -100},
        {ImageResult::kRevisionMismatch, -6}, {ImageResult::kNotOrrimMagic, -7},
        {ImageResult::kFormatTooNew, -8},     {ImageResult::kNotKdxFamily, -9},
        {ImageResult::kBadBopWord, -2},       {ImageResult::kPacketTooLong, -4},
        {ImageResult::kChecksumMismatch, -5}, {ImageResult::kPrematureEnd, -6},
        {ImageResult::kImageChanged, -10},
    };
    for (const auto& [result, number] : numbers) {
        EXPECT_EQ(DesignCode(result), number) << static_cast<int>(result);
    }
    EXPECT_EQ(DesignCode(AckResult::kAcknowledged), 0x616B);
    EXPECT_EQ(DesignCode(AckResult::kRefused), 0x4E4F);
    EXPECT_EQ(DesignCode(AckResult::kUnexpectedWords), 0x7000);
    EXPECT_EQ(DesignCode(AckResult::kNothingArrived), 0x8000);
    EXPECT_EQ(DesignCode(ResponseResult::kProtectedMemory), 128);
    EXPECT_EQ(DesignCode(ResponseResult::kError), -6);
    EXPECT_EQ(DesignCode(ResponseResult::kUnknown), 0x9000);
    EXPECT_EQ(DesignCode(ResponseResult::kNothingArrived), 0x8000);
}

// What the reader refused keeps its own name in the image's result.
TEST(ImageResults, NameWhatTheReaderRefused) {
    EXPECT_EQ(ImageResultOf(HeaderResult::kRevisionMismatch), ImageResult::kRevisionMismatch);
    EXPECT_EQ(ImageResultOf(HeaderResult::kNotOrrimMagic), ImageResult::kNotOrrimMagic);
    EXPECT_EQ(ImageResultOf(HeaderResult::kFormatTooNew), ImageResult::kFormatTooNew);
    EXPECT_EQ(ImageResultOf(HeaderResult::kNotKdxFamily), ImageResult::kNotKdxFamily);
    EXPECT_EQ(ImageResultOf(PacketResult::kBadBopWord), ImageResult::kBadBopWord);
    EXPECT_EQ(ImageResultOf(PacketResult::kTooLong), ImageResult::kPacketTooLong);
    EXPECT_EQ(ImageResultOf(PacketResult::kChecksumMismatch), ImageResult::kChecksumMismatch);
    EXPECT_EQ(ImageResultOf(PacketResult::kPrematureEnd), ImageResult::kPrematureEnd);
}

}  // namespace
}  // namespace vantor::test
