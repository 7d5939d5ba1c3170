#include "image/image_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <utility>

#include "image/file_kind.h"
#include "platform/invariant.h"
#include "platform/regular_file.h"
#include "platform/window_link.h"

namespace vantor {

namespace {

constexpr std::size_t kLabelChars = 19;
constexpr std::size_t kMessageBufferChars = 256;
constexpr const char* kHeaderErrorCaption = "Orrim file error";
constexpr const char* kPrematureEndText = "Error: Premature end-of-file encountered";
constexpr long kKdxHeaderBytes = 16;
constexpr long kPlainHeaderBytes = 4;

constexpr const char* kPlainRevisionText =
    "Error: The Orrim file \"%s\" is meant for hardware revision ID %d.\n\n"
    "A different Orrim file is required.";
constexpr const char* kKdxRevisionText =
    "Error: The Orrim file \"%s\" is meant for hardware revision ID %d.\n"
    "A different Orrim file is required.";
constexpr const char* kNotOrrimText = "Error: The input file is not recognized as an Orrim file.";
constexpr const char* kNotKdxText = "Error: The input file is not recognized as a KDX Orrim file.";

void ShowHeaderError(const char* text) {
    platform::Window().MessageBox(text, kHeaderErrorCaption, platform::MessageIcon::Stop);
}

void ShowRevisionError(const char* format, const std::string& label, int revision) {
    const std::string shown = label.substr(0, kLabelChars);
    // The label is at most 19 characters and the number at most 6, so the text stays well
    // inside the buffer; snprintf cuts it at 255 characters all the same.
    char text[kMessageBufferChars];
    std::snprintf(text, sizeof text, format, shown.c_str(), revision);
    ShowHeaderError(text);
}

HeaderResult CheckKdxHeader(ImageFile& file, int drive_revision, const std::string& label,
                            ImageHeader& header) {
    if (ReadFileWord(file) != kOrrimMagic) {
        ShowHeaderError(kNotOrrimText);
        return HeaderResult::kNotOrrimMagic;
    }
    const auto format_version = static_cast<std::int16_t>(ReadFileWord(file));
    if (format_version > kMaxFormatVersion) {
        ShowHeaderError(kNotOrrimText);
        return HeaderResult::kFormatTooNew;
    }
    ReadFileWord(file);  // reserved
    if (ReadFileWord(file) != 0) {
        ShowHeaderError(kNotKdxText);
        return HeaderResult::kNotKdxFamily;
    }
    const auto file_revision = static_cast<std::int16_t>(ReadFileWord(file));
    if (drive_revision != kRevisionNotYetKnown &&
        !RevisionCompatible(file_revision, drive_revision)) {
        ShowRevisionError(kKdxRevisionText, label, file_revision);
        return HeaderResult::kRevisionMismatch;
    }
    header.DataOffset = static_cast<std::int16_t>(ReadFileWord(file));
    return HeaderResult::kAccepted;
}

// Reads the packet's `Length` payload bytes into it and returns the running sum: the two bytes
// of the length word and every payload byte, a byte beyond the end counting as -1.
int ReadPayload(ImageFile& file, Packet& packet) {
    VANTOR_ASSERT(packet.Length <= packet.Payload.size());
    int sum = (packet.Length >> 8) + (packet.Length & 0xFF);
    std::size_t index = 0;
    while (index < packet.Length) {
        std::size_t got = 0;
        const unsigned char* bytes = file.ReadSpan(packet.Length - index, got);
        if (bytes == nullptr) {
            break;
        }
        for (std::size_t i = 0; i < got; ++i) {
            packet.Payload[index + i] = bytes[i];
            sum += bytes[i];
        }
        index += got;
    }
    // Each byte beyond the end of the file reads as -1, kept as its low 8 bits.
    for (; index < packet.Length; ++index) {
        packet.Payload[index] = 0xFF;
        sum -= 1;
    }
    return sum;
}

}  // namespace

std::uint16_t ReadFileWord(ImageFile& file) {
    const int high = file.ReadByte();
    const int low = file.ReadByte();
    if (high < 0 || low < 0) {
        return 0xFFFF;
    }
    return static_cast<std::uint16_t>(high << 8 | low);
}

bool RevisionCompatible(int file_id, int drive_id) {
    // A file for revision 3 runs on every drive but the KDX1v2 and the KDX2.
    if (file_id == 3) {
        return drive_id != 1 && drive_id != 2;
    }
    if (file_id == drive_id) {
        return true;
    }
    // A KDX1v2 file also runs on the KDX1v1.
    return file_id == 1 && drive_id == 0;
}

HeaderResult CheckHeader(ImageFile& file, int drive_revision, const std::string& label,
                         ImageHeader& header) {
    const std::uint16_t first_word = ReadFileWord(file);
    header.PacketCount = ReadFileWord(file);
    header.Kdx = first_word == 0;
    if (header.Kdx) {
        return CheckKdxHeader(file, drive_revision, label, header);
    }
    // A plain Orrim file is meant for hardware revision 0 alone.
    if (drive_revision != kRevisionNotYetKnown && drive_revision != 0) {
        ShowRevisionError(kPlainRevisionText, label, 0);
        return HeaderResult::kRevisionMismatch;
    }
    header.DataOffset = static_cast<std::int16_t>(first_word);
    return HeaderResult::kAccepted;
}

PacketResult ReadPacket(ImageFile& file, Packet& packet) {
    file.ClearEndMet();
    const int high = file.ReadByte();
    const int low = file.ReadByte();
    packet.Bop = high < 0 || low < 0 ? 0xFFFF : static_cast<std::uint16_t>(high << 8 | low);
    if (file.EndMet()) {
        // Neither a read error nor a BOP word cut by the end of the file is the end of the
        // image: either would pass a cut image off as whole. One other stray byte is no packet.
        if (file.ReadFailed() || high == kBopWord >> 8) {
            platform::ReportStatus(kPrematureEndText, 0);
            return PacketResult::kPrematureEnd;
        }
        return PacketResult::kNoMorePackets;
    }
    if (packet.Bop != kBopWord) {
        platform::ReportStatus("Error: read as the BOP word.", 0);
        return PacketResult::kBadBopWord;
    }
    packet.Length = ReadFileWord(file);
    if (packet.Length > kMaxPacketLength) {
        platform::ReportStatus("   Error: A packet exceeds the maximum packet size", 0);
        return PacketResult::kTooLong;
    }
    packet.ElementCount = static_cast<std::uint16_t>(packet.Length + 3);
    const int sum = ReadPayload(file, packet);
    packet.Checksum = ReadFileWord(file);
    // The checksum is compared first, so a packet cut short by the end of the file is
    // normally reported as a checksum error.
    if (static_cast<std::uint16_t>(sum) != packet.Checksum) {
        platform::ReportStatus("Error:  Packet checksum. ", 0);
        return PacketResult::kChecksumMismatch;
    }
    if (file.EndMet()) {
        platform::ReportStatus(kPrematureEndText, 0);
        return PacketResult::kPrematureEnd;
    }
    return PacketResult::kReady;
}

PacketResult CheckWholeImage(ImageFile& file, const ImageHeader& header, Packet& area,
                             int& packets) {
    packets = 0;
    const long size = file.Size();
    const long header_bytes = header.Kdx ? kKdxHeaderBytes : kPlainHeaderBytes;
    if (size < header_bytes || header.DataOffset > size) {
        platform::ReportStatus(kPrematureEndText, 0);
        return PacketResult::kPrematureEnd;
    }
    file.SeekFromStart(header.DataOffset);
    PacketResult result = PacketResult::kReady;
    while ((result = ReadPacket(file, area)) == PacketResult::kReady) {
        ++packets;
    }
    if (result != PacketResult::kNoMorePackets) {
        return result;
    }
    // A count lower than the packets present only narrows the progress range; a plain file's
    // count is often its first packet's length word and says nothing.
    if (header.Kdx && packets < header.PacketCount) {
        platform::ReportStatus(kPrematureEndText, 0);
        return PacketResult::kPrematureEnd;
    }
    return PacketResult::kReady;
}

}  // namespace vantor
