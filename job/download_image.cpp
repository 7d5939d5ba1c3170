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
// exchange operation. On a network port the budget grows by the round trip.
class PolledWait {
  public:
    explicit PolledWait(int budget) : budget_(budget + PortAnswerDelayMs()) {}

    // True once at least `bytes` are waiting; false when the budget ran out first or the port's
    // far end went away.
    bool For(int bytes) {
        if (PortBytesWaiting() >= bytes) {
            return true;
        }
        while (polls_ < budget_ && !PortLost()) {
            ++polls_;
            platform::Sleep(1);
            if (PortBytesWaiting() >= bytes) {
                return true;
            }
        }
        return false;
    }

    void AddBudget(int polls) { budget_ += polls; }

  private:
    int budget_;
    int polls_ = 0;
};

// Sends one packet until it is acknowledged, at most three times; returns the number of sends
// it took, or 0 when none was acknowledged.
int SendUntilAcknowledged(const Packet& packet) {
    for (int attempt = 1; attempt <= kMaxSends; ++attempt) {
        if (attempt > 1) {
            ReportStatus("Attempting to resychronize communications", 0);
            Resync();  // a failed resynchronisation does not stop the repeats
        }
        SendPacket(packet);
        if (WaitAck(kAckPollBudget) == kAckWord) {
            return attempt;
        }
    }
    return 0;
}

// Exchanges every packet of the open file: kImageDownloaded after the last one, or a failure
// code of DownloadImage.
int SendPackets(ImageFile& file) {
    Packet& packet = g_packet_area;
    std::uint16_t packet_number = 0;
    int code = ReadPacket(file, packet);
    while (code == kPacketReady) {
        ++packet_number;
        platform::Window().SetProgressPos(packet_number);
        ReportStatus("Downloading packet", packet_number);
        const int sends = SendUntilAcknowledged(packet);
        if (sends == 0) {
            char text[64];
            std::snprintf(text, sizeof text, "Error: Packet %d transmission failure.",
                          packet_number);
            ReportStatus(text, 0);
            return kPacketNotAcknowledged;
        }
        const int response = ReadResponse(kResponsePollBudget);
        if (response < 0) {
            ReportStatus("Error: Packet  data response failure.", 0);
            return kPacketResponseFailed;
        }
        if (response == kResponseInvalid && sends == kMaxSends) {
            ReportStatus("Error: Packet invalid command failure.", 0);
            return kPacketInvalidCommand;
        }
        code = ReadPacket(file, packet);
    }
    return code == kNoMorePackets ? kImageDownloaded : code;
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

int WaitAck(int budget) {
    PolledWait wait(budget);
    if (!wait.For(2)) {
        PortPurgeInput();
        return kNothingArrived;
    }
    const std::uint16_t word = ReadWord();
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
    // The data bytes are waited for one at a time but not read: they stay in the receive
    // queue.
    for (int i = 0; i < count; ++i) {
        wait.For(1);
    }
    return kResponseRd;
}

int DownloadImage(const std::string& image_path, std::uint16_t ident_word) {
    const int drive_revision = ident_word >> 12;
    ImageFile file;
    if (!file.Open(image_path)) {
        ReportStatus("Error: Unable to open file", 0);
        return kImageUnopenable;
    }
    ReportStatus("Processing file", 0);
    const std::string label =
        platform::Window().GetText(Display::FileNameLabel).substr(0, kLabelChars);
    ImageHeader header;
    const int header_code = CheckHeader(file, drive_revision, label, header);
    if (header_code != kHeaderAccepted) {
        return header_code;
    }
    file.Rewind();
    if (header.DataOffset >= 0) {
        file.SeekFromStart(header.DataOffset);
    }
    platform::Window().SetProgressRange(0, header.PacketCount);
    platform::Window().SetProgressPos(0);

    const int code = SendPackets(file);
    file.Close();
    if (code != kImageDownloaded) {
        return code;
    }
    ReportStatus("Download successful", 0);
    platform::Tone(kToneHz, kToneMs);
    return kImageDownloaded;
}

}  // namespace vantor
