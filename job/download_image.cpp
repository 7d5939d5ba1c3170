#include "job/download_image.h"

#include <cstdio>
#include <string>

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
constexpr std::uint16_t kResponseEr = 0x4552;
constexpr std::uint16_t kResponseEx = 0x4558;
constexpr std::uint16_t kResponseRd = 0x5244;
constexpr std::uint16_t kResponseWr = 0x5752;
constexpr std::uint16_t kResponseInvalid = 0x3F3F;
constexpr std::uint16_t kStatusProtected = 0x0080;

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
        while (!PortLost() && wait_.Next()) {
            platform::Sleep(1);
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

bool IsResponseWord(std::uint16_t word) {
    return word == kResponseEr || word == kResponseEx || word == kResponseRd ||
           word == kResponseWr || word == kResponseInvalid;
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
    if (ReadWord() != 0 || response != kResponseRd || !wait.For(2)) {
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
        const int ack = WaitAck(kAckPollBudget, response_overdue && attempt == 1, &dropped);
        tally->LateResponsesDropped += dropped ? 1 : 0;
        if (ack == kAckWord) {
            ++tally->AckedAtSend[attempt - 1];
            return attempt;
        }
    }
    return 0;
}

// Exchanges every packet of the open file: kImageDownloaded after the last one, or a failure
// code of DownloadImage.
int SendPackets(ImageFile& file, Tally& tally, const std::atomic<int>* stop) {
    Packet& packet = g_packet_area;
    std::uint16_t packet_number = 0;
    bool response_overdue = false;
    PacketResult read = ReadPacket(file, packet);
    while (read == PacketResult::kReady) {
        if (stop != nullptr && stop->load() != 0) {
            return kImageStopped;
        }
        ++packet_number;
        platform::Window().SetProgressPos(packet_number);
        ReportStatus("Downloading packet", packet_number);
        ++tally->PacketsSent;
        const int sends = SendUntilAcknowledged(packet, response_overdue, tally);
        if (sends == 0) {
            char text[64];
            std::snprintf(text, sizeof text, "Error: Packet %d transmission failure.",
                          packet_number);
            ReportStatus(text, 0);
            return kPacketNotAcknowledged;
        }
        const int response = ReadResponse(kResponsePollBudget);
        response_overdue = response == kNothingArrived;
        tally->MissingResponses += response_overdue ? 1 : 0;
        tally->UnrecognisedResponses += response == kUnknownResponse ? 1 : 0;
        tally->ProtectedWarnings += response == kProtectedMemory ? 1 : 0;
        if (response < 0) {
            ReportStatus("Error: Packet  data response failure.", 0);
            return kPacketResponseFailed;
        }
        if (response == kResponseInvalid && sends == kMaxSends) {
            ReportStatus("Error: Packet invalid command failure.", 0);
            return kPacketInvalidCommand;
        }
        read = ReadPacket(file, packet);
    }
    return read == PacketResult::kNoMorePackets ? kImageDownloaded : DesignCode(read);
}

// Opens the image and checks its header and every packet; kImageDownloaded when it may be
// sent, the file then open with its header in `header`.
int OpenAndCheck(const std::string& image_path, int drive_revision, ImageFile& file,
                 ImageHeader& header, int& packets) {
    packets = 0;
    if (!file.Open(image_path)) {
        ReportStatus("Error: Unable to open file", 0);
        return kImageUnopenable;
    }
    ReportStatus("Processing file", 0);
    const std::string label =
        platform::Window().GetText(Display::FileNameLabel).substr(0, kLabelChars);
    const HeaderResult header_result = CheckHeader(file, drive_revision, label, header);
    if (header_result != HeaderResult::kAccepted) {
        return DesignCode(header_result);
    }
    // The file is local and small: it is read whole before its first packet goes on the line,
    // so that a damaged or cut image is refused before any of it reaches the drive.
    return DesignCode(CheckWholeImage(file, header, g_packet_area, packets));
}

}  // namespace

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

int WaitAck(int budget, bool response_overdue, bool* dropped) {
    PolledWait wait(budget);
    if (!wait.For(2)) {
        PortPurgeInput();
        return kNothingArrived;
    }
    std::uint16_t word = ReadWord();
    if (response_overdue && IsResponseWord(word)) {
        DropLateResponse(wait, word);
        if (dropped != nullptr) {
            *dropped = true;
        }
        if (!wait.For(2)) {
            PortPurgeInput();
            return kNothingArrived;
        }
        word = ReadWord();
    }
    if (word == kAckWord) {
        return kAckWord;
    }
    if (word == kRefuseWord) {
        // The refusal carries one more word; drop it when it is all that came.
        wait.For(2);
        if (PortBytesWaiting() == 2) {
            ReadWord();
        }
        return kRefuseWord;
    }
    if (!wait.For(2)) {
        PortPurgeInput();
        return kNothingArrived;
    }
    if (ReadWord() == kAckWord) {
        return kAckWord;  // one stray word before the acknowledgement is skipped
    }
    PortPurgeInput();
    return kUnexpectedWords;
}

int ReadResponse(int budget) {
    PolledWait wait(budget);
    if (!wait.For(4)) {
        PortPurgeInput();
        return kNothingArrived;
    }
    const std::uint16_t response = ReadWord();
    const std::uint16_t status = ReadWord();
    if (status == kStatusProtected) {
        ReportStatus("WARNING: Packet attemped to write or erase protected memory.", 0);
        return kProtectedMemory;
    }
    if (status != 0) {
        ReportStatus("Error: Packet data response error", 0);
        return kResponseError;
    }
    switch (response) {
        case kResponseEr:
        case kResponseEx:
        case kResponseWr:
        case kResponseInvalid:
            return response;
        case kResponseRd:
            break;
        default:
            PortPurgeInput();
            return kUnknownResponse;
    }
    if (!wait.For(2)) {
        PortPurgeInput();
        return kNothingArrived;
    }
    const auto count = static_cast<std::int16_t>(ReadWord());
    wait.AddBudget(kReadDataExtraBudget);
    // The data bytes are read and dropped: left in the receive queue, the next packet's
    // acknowledgement wait would take them for stray words and send that packet twice.
    DropReadData(wait, count);
    return kResponseRd;
}

int CheckImage(const std::string& image_path, ImageHeader& header, int& packets) {
    ImageFile file;
    const int code = OpenAndCheck(image_path, kRevisionNotYetKnown, file, header, packets);
    return code;
}

int DownloadImage(const std::string& image_path, std::uint16_t ident_word, DownloadTally* tally,
                  const std::atomic<int>* stop) {
    const int drive_revision = ident_word >> 12;
    ImageFile file;
    ImageHeader header;
    int packets = 0;
    if (const int code = OpenAndCheck(image_path, drive_revision, file, header, packets);
        code != kImageDownloaded) {
        return code;
    }
    file.Rewind();
    if (header.DataOffset >= 0) {
        file.SeekFromStart(header.DataOffset);
    }
    platform::Window().SetProgressRange(0, header.PacketCount);
    platform::Window().SetProgressPos(0);

    Tally counts(tally);
    const int code = SendPackets(file, counts, stop);
    file.Close();
    if (code != kImageDownloaded) {
        return code;
    }
    ReportStatus("Download successful", 0);
    platform::Tone(kToneHz, kToneMs);
    ++counts->ImagesDownloaded;
    return kImageDownloaded;
}

}  // namespace vantor
