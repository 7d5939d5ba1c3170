#include "job/download_image.h"

#include <cstdio>
#include <string>
#include <utility>

#include "link/answer_wait.h"
#include "link/boot_link.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/invariant.h"
#include "platform/tone.h"
#include "platform/window_link.h"

namespace vantor {

using platform::Display;
using platform::ReportStatus;

namespace {

constexpr int kLabelChars = 19;
constexpr int kToneHz = 256;
constexpr int kToneMs = 1000;
constexpr std::uint16_t kStatusProtected = 0x0080;
constexpr const char* kImageChangedText = "Error: The image file changed during the download";

// The packet area: one fixed area with room for the largest packet, reused for every packet.
// Only the job's worker downloads, one image at a time.
Packet g_packet_area;

// A wait for received bytes that shares its poll counter with the other waits of the same
// exchange operation. On a network port it lasts until the server has given the drive as long
// (AnswerWait).
class PolledWait {
  public:
    explicit PolledWait(int budget) : wait_(budget) {}

    // True once at least `bytes` are waiting; false when the budget ran out first or the port's
    // far end went away.
    bool For(int bytes) {
        if (PortBytesWaiting() >= bytes) {
            return true;
        }
        while (!PortLost() && wait_.Pause()) {
            if (PortBytesWaiting() >= bytes) {
                return true;
            }
        }
        return false;
    }

    void AddBudget(int polls) { wait_.AddBudget(polls); }

  private:
    AnswerWait wait_;
};

bool IsResponse(std::uint16_t word, ResponseResult response) {
    return word == DesignCode(response);
}

bool IsResponseWord(std::uint16_t word) {
    return IsResponse(word, ResponseResult::kEr) || IsResponse(word, ResponseResult::kEx) ||
           IsResponse(word, ResponseResult::kRd) || IsResponse(word, ResponseResult::kWr) ||
           IsResponse(word, ResponseResult::kInvalidCommand);
}

// Reads and drops the `count` data bytes of an 'RD' response, each waited for within what is
// left of the budget; a byte that does not come ends the reading.
void DropReadData(PolledWait& wait, int count) {
    for (int i = 0; i < count; ++i) {
        if (!wait.For(1)) {
            return;
        }
        PortReadByte();
    }
}

// A response that came after its budget, met at the start of the next packet's exchange: its
// status word, and for an 'RD' its count and data, are read and dropped.
void DropLateResponse(PolledWait& wait, std::uint16_t response) {
    if (!wait.For(2)) {
        return;
    }
    if (ReadWord() != 0 || !IsResponse(response, ResponseResult::kRd) || !wait.For(2)) {
        return;
    }
    DropReadData(wait, static_cast<std::int16_t>(ReadWord()));
}

// Keeps the counts of one image's exchanges; `tally` may be null.
class Tally {
  public:
    explicit Tally(DownloadTally* tally) : tally_(tally) {}
    DownloadTally* operator->() { return tally_ != nullptr ? tally_ : &scratch_; }

  private:
    DownloadTally* tally_;
    DownloadTally scratch_;
};

// Sends one packet until it is acknowledged, at most three times; returns the number of sends
// it took, or 0 when none was acknowledged.
int SendUntilAcknowledged(const Packet& packet, bool response_overdue, Tally& tally) {
    for (int attempt = 1; attempt <= kMaxSends; ++attempt) {
        if (attempt > 1) {
            ReportStatus("Attempting to resychronize communications", 0);
            Resync();  // a failed resynchronisation does not stop the repeats
        }
        SendPacket(packet);
        bool dropped = false;
        const AckResult ack = WaitAck(kAckPollBudget, response_overdue && attempt == 1, &dropped);
        tally->LateResponsesDropped += dropped ? 1 : 0;
        if (ack == AckResult::kAcknowledged) {
            ++tally->AckedAtSend[attempt - 1];
            return attempt;
        }
    }
    return 0;
}

// Exchanges every packet of the open file: kDownloaded after the last one, or DownloadImage's
// failure (a reader's result among them). `sent` counts the packets put on the line.
ImageResult SendPackets(ImageFile& file, Tally& tally, const std::atomic<int>* stop, int& sent) {
    Packet& packet = g_packet_area;
    std::uint16_t packet_number = 0;
    bool response_overdue = false;
    PacketResult read = ReadPacket(file, packet);
    while (read == PacketResult::kReady) {
        if (stop != nullptr && stop->load() != 0) {
            return ImageResult::kStopped;
        }
        ++packet_number;
        platform::Window().SetProgressPos(packet_number);
        ReportStatus("Downloading packet", packet_number);
        ++tally->PacketsSent;
        ++sent;
        const int sends = SendUntilAcknowledged(packet, response_overdue, tally);
        if (sends == 0) {
            char text[64];
            std::snprintf(text, sizeof text, "Error: Packet %d transmission failure.",
                          packet_number);
            ReportStatus(text, 0);
            return ImageResult::kNotAcknowledged;
        }
        const ResponseResult response = ReadResponse(kResponsePollBudget);
        response_overdue = response == ResponseResult::kNothingArrived;
        tally->MissingResponses += response_overdue ? 1 : 0;
        tally->UnrecognisedResponses += response == ResponseResult::kUnknown ? 1 : 0;
        tally->InvalidCommandResponses += response == ResponseResult::kInvalidCommand ? 1 : 0;
        tally->ProtectedWarnings += response == ResponseResult::kProtectedMemory ? 1 : 0;
        if (response == ResponseResult::kError) {
            ReportStatus("Error: Packet  data response failure.", 0);
            return ImageResult::kResponseFailed;
        }
        if (response == ResponseResult::kInvalidCommand && sends == kMaxSends) {
            ReportStatus("Error: Packet invalid command failure.", 0);
            return ImageResult::kInvalidCommand;
        }
        read = ReadPacket(file, packet);
    }
    return read == PacketResult::kNoMorePackets ? ImageResult::kDownloaded : ImageResultOf(read);
}

ImageResult ImageChanged() {
    ReportStatus(kImageChangedText, 0);
    return ImageResult::kImageChanged;
}

// Takes the image's size and digest into its record once the file has given them, and holds
// them against what the run set out to send; false when they differ.
bool TakeDigest(const ImageFile& file, const std::optional<std::string>& expected_sha256,
                SentImage& image) {
    const std::optional<FileDigest> digest = file.Digest();
    if (!digest) {
        return true;
    }
    image.SizeBytes = digest->size_bytes;
    image.Sha256 = digest->sha256;
    return !expected_sha256 || *expected_sha256 == digest->sha256;
}

// Opens the image and checks it, its header and every packet, from the bytes it will be sent
// from: kDownloaded when it may be sent, the file then open with its header in `header`, the
// packets it holds in `packets` and its record in `image`.
ImageResult OpenAndCheck(const std::string& image_path, int drive_revision,
                         const DownloadImageOptions& options, ImageFile& file, ImageHeader& header,
                         int& packets, SentImage& image) {
    packets = 0;
    if (!file.Open(image_path, options.memory_limit_bytes, options.block_bytes)) {
        ReportStatus("Error: Unable to open file", 0);
        return ImageResult::kUnopenable;
    }
    ReportStatus("Processing file", 0);
    // An image held in memory has its digest at once: one that is not what the run set out to
    // send is refused before its header is judged.
    if (!TakeDigest(file, options.expected_sha256, image)) {
        return ImageChanged();
    }
    const std::string label =
        platform::Window().GetText(Display::FileNameLabel).substr(0, kLabelChars);
    const HeaderResult header_result = CheckHeader(file, drive_revision, label, header);
    if (header_result != HeaderResult::kAccepted) {
        return ImageResultOf(header_result);
    }
    // The whole image is checked before its first packet goes on the line, so that a damaged
    // or cut image is refused before any of it reaches the drive.
    const PacketResult whole = CheckWholeImage(file, header, g_packet_area, packets);
    image.PacketsDeclared = header.Kdx ? header.PacketCount : packets;
    if (whole != PacketResult::kReady) {
        return ImageResultOf(whole);
    }
    // An image read from the disk has been read to its end now, and has its digest.
    if (!TakeDigest(file, options.expected_sha256, image) || image.Sha256.empty()) {
        return ImageChanged();
    }
    return ImageResult::kDownloaded;
}

// After the packets of an image read from the disk: whether the bytes sent were those checked.
bool SentAsChecked(const ImageFile& file, const SentImage& checked) {
    const std::optional<FileDigest> sent = file.Digest();
    return !file.Shrunk() && sent && sent->size_bytes == checked.SizeBytes &&
           sent->sha256 == checked.Sha256;
}

// An image read from the disk that changed while it was sent: its record takes the digest of
// the bytes the packets were taken from when the reads met the whole file, and otherwise none,
// never the digest of the bytes that were checked.
void TakeSentDigest(const ImageFile& file, SentImage& image) {
    image.ChangedWhileSent = true;
    const std::optional<FileDigest> sent = file.Digest();
    image.Sha256 = sent ? sent->sha256 : "";
    if (sent) {
        image.SizeBytes = sent->size_bytes;
    }
}

bool IsReaderFault(ImageResult result) {
    return result == ImageResult::kBadBopWord || result == ImageResult::kPacketTooLong ||
           result == ImageResult::kChecksumMismatch || result == ImageResult::kPrematureEnd;
}

// Sends the packets of an image that OpenAndCheck accepted, from the start of its packets, and
// makes sure that the drive got the bytes that were checked.
ImageResult SendCheckedImage(ImageFile& file, const ImageHeader& header, int packets,
                             const std::atomic<int>* stop, Tally& tally, SentImage& image) {
    // An image read from the disk keeps the size it was checked at: a read that meets its end
    // sooner shows that it changed, and what it may have grown by is never read.
    file.HoldSize(image.SizeBytes);
    file.Rewind();
    if (header.DataOffset >= 0) {
        file.SeekFromStart(header.DataOffset);
    }
    platform::Window().SetProgressRange(0, header.PacketCount);
    platform::Window().SetProgressPos(0);
    const ImageResult sent = SendPackets(file, tally, stop, image.PacketsSent);
    if (file.source() == ImageFile::Source::kMemory) {
        // The packets come from the very bytes that were checked.
        VANTOR_ASSERT(!IsReaderFault(sent));
        VANTOR_ASSERT(sent != ImageResult::kDownloaded || image.PacketsSent == packets);
        return sent;
    }
    if (IsReaderFault(sent) || (sent == ImageResult::kDownloaded &&
                                (image.PacketsSent != packets || !SentAsChecked(file, image)))) {
        TakeSentDigest(file, image);
        return ImageChanged();
    }
    return sent;
}

}  // namespace

ImageResult ImageResultOf(HeaderResult refused) {
    switch (refused) {
        case HeaderResult::kRevisionMismatch:
            return ImageResult::kRevisionMismatch;
        case HeaderResult::kNotOrrimMagic:
            return ImageResult::kNotOrrimMagic;
        case HeaderResult::kFormatTooNew:
            return ImageResult::kFormatTooNew;
        case HeaderResult::kNotKdxFamily:
            return ImageResult::kNotKdxFamily;
        case HeaderResult::kAccepted:
            break;
    }
    VANTOR_ASSERT(false && "an accepted header is no failure of the image");
    return ImageResult::kDownloaded;
}

ImageResult ImageResultOf(PacketResult fault) {
    switch (fault) {
        case PacketResult::kBadBopWord:
            return ImageResult::kBadBopWord;
        case PacketResult::kTooLong:
            return ImageResult::kPacketTooLong;
        case PacketResult::kChecksumMismatch:
            return ImageResult::kChecksumMismatch;
        case PacketResult::kPrematureEnd:
            return ImageResult::kPrematureEnd;
        case PacketResult::kReady:
        case PacketResult::kNoMorePackets:
            break;
    }
    VANTOR_ASSERT(false && "a packet read whole is no failure of the image");
    return ImageResult::kDownloaded;
}

void SendPacket(const Packet& packet) {
    // A packet passed on by the reader fits its payload area and counts BOP word, length word
    // and checksum word beside its payload; anything else would send bytes from outside it.
    VANTOR_ASSERT(packet.Length <= packet.Payload.size());
    VANTOR_ASSERT(packet.ElementCount == packet.Length + 3);
    WriteWord(packet.Bop);
    WriteWord(packet.Length);
    for (int i = 0; i < packet.Length; ++i) {
        PortWriteByte(packet.Payload[i]);
    }
    WriteWord(packet.Checksum);
}

AckResult WaitAck(int budget, bool response_overdue, bool* dropped) {
    PolledWait wait(budget);
    if (!wait.For(2)) {
        PortPurgeInput();
        return AckResult::kNothingArrived;
    }
    std::uint16_t word = ReadWord();
    if (response_overdue && IsResponseWord(word)) {
        DropLateResponse(wait, word);
        if (dropped != nullptr) {
            *dropped = true;
        }
        if (!wait.For(2)) {
            PortPurgeInput();
            return AckResult::kNothingArrived;
        }
        word = ReadWord();
    }
    if (word == kAckWord) {
        return AckResult::kAcknowledged;
    }
    if (word == kRefuseWord) {
        // The refusal carries one more word; drop it when it is all that came.
        wait.For(2);
        if (PortBytesWaiting() == 2) {
            ReadWord();
        }
        return AckResult::kRefused;
    }
    if (!wait.For(2)) {
        PortPurgeInput();
        return AckResult::kNothingArrived;
    }
    if (ReadWord() == kAckWord) {
        return AckResult::kAcknowledged;  // one stray word before the acknowledgement is skipped
    }
    PortPurgeInput();
    return AckResult::kUnexpectedWords;
}

ResponseResult ReadResponse(int budget) {
    PolledWait wait(budget);
    if (!wait.For(4)) {
        PortPurgeInput();
        return ResponseResult::kNothingArrived;
    }
    const std::uint16_t response = ReadWord();
    const std::uint16_t status = ReadWord();
    if (status == kStatusProtected) {
        ReportStatus("WARNING: Packet attemped to write or erase protected memory.", 0);
        return ResponseResult::kProtectedMemory;
    }
    if (status != 0) {
        ReportStatus("Error: Packet data response error", 0);
        return ResponseResult::kError;
    }
    const auto known = static_cast<ResponseResult>(response);
    switch (known) {
        case ResponseResult::kEr:
        case ResponseResult::kEx:
        case ResponseResult::kWr:
        case ResponseResult::kInvalidCommand:
            return known;
        case ResponseResult::kRd:
            break;
        default:
            PortPurgeInput();
            return ResponseResult::kUnknown;
    }
    if (!wait.For(2)) {
        PortPurgeInput();
        return ResponseResult::kNothingArrived;
    }
    const auto count = static_cast<std::int16_t>(ReadWord());
    wait.AddBudget(kReadDataExtraBudget);
    // The data bytes are read and dropped: left in the receive queue, the next packet's
    // acknowledgement wait would take them for stray words and send that packet twice.
    DropReadData(wait, count);
    return ResponseResult::kRd;
}

ImageCheck CheckImage(const std::string& image_path,
                      const std::optional<std::string>& expected_sha256) {
    ImageFile file;
    DownloadImageOptions options;
    options.expected_sha256 = expected_sha256;
    SentImage image;
    ImageCheck check;
    check.result = OpenAndCheck(image_path, kRevisionNotYetKnown, options, file, check.header,
                                check.packets, image);
    if (check.result == ImageResult::kUnopenable) {
        check.open_problem = file.open_problem();
    }
    return check;
}

ImageResult DownloadImage(const std::string& image_path, std::uint16_t ident_word,
                          const DownloadImageOptions& options) {
    Tally counts(options.tally);
    ImageFile file;
    ImageHeader header;
    int packets = 0;
    SentImage image;
    image.Path = image_path;
    ImageResult result =
        OpenAndCheck(image_path, ident_word >> 12, options, file, header, packets, image);
    if (result == ImageResult::kDownloaded) {
        result = SendCheckedImage(file, header, packets, options.stop, counts, image);
    }
    file.Close();
    if (result != ImageResult::kUnopenable) {
        counts->Images.push_back(std::move(image));
    }
    if (result != ImageResult::kDownloaded) {
        return result;
    }
    ReportStatus("Download successful", 0);
    if (options.success_tone) {
        platform::Tone(kToneHz, kToneMs);
    }
    ++counts->ImagesDownloaded;
    return ImageResult::kDownloaded;
}

}  // namespace vantor
