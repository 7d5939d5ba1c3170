// The image reader: checks an Orrim file's header against the drive's hardware revision and
// reads its packets one at a time, each checked (BOP word, length, checksum, end of file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "image/image_file.h"

namespace vantor {

inline constexpr std::uint16_t kBopWord = 0xA55A;
inline constexpr int kMaxPacketLength = 16398;  // payload bytes
inline constexpr std::uint16_t kOrrimMagic = 0x4F72;
inline constexpr int kMaxFormatVersion = 16;

// What CheckHeader returns. The values are the design's (signed 16-bit codes), and DesignCode
// gives them at the edges; a revision mismatch and a premature end share -6 there, which is
// why the header's and the packets' results are two types.
enum class HeaderResult : int {
    kAccepted = 0,
    kRevisionMismatch = -6,  // the file is meant for another hardware revision
    kNotOrrimMagic = -7,     // a KDX header without the Orrim magic word
    kFormatTooNew = -8,      // a KDX format version above kMaxFormatVersion
    kNotKdxFamily = -9,      // a KDX header of another family
};

// What ReadPacket and CheckWholeImage return, with the design's values.
enum class PacketResult : int {
    kReady = 0,
    kNoMorePackets = -1,     // the file ends where a packet would begin
    kBadBopWord = -2,        // a packet does not begin with kBopWord
    kTooLong = -4,           // a length word above kMaxPacketLength
    kChecksumMismatch = -5,  // the stored checksum is not the sum of the packet
    kPrematureEnd = -6,      // the file ends inside a packet (its BOP word included), or a
                             // read failed
};

// The design's number for a result of the reader.
constexpr int DesignCode(HeaderResult result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(PacketResult result) {
    return static_cast<int>(result);
}

// One packet in memory. The download procedure owns one and reuses it for every packet.
struct Packet {
    std::uint16_t Bop = 0;
    std::uint16_t Length = 0;
    std::array<std::uint16_t, kMaxPacketLength> Payload{};  // one byte (0 to 255) per element
    std::uint16_t Checksum = 0;
    std::uint16_t ElementCount = 0;  // Length + 3
};

// What a successful header check found.
struct ImageHeader {
    bool Kdx = false;  // a KDX Orrim file (first word 0), else a plain Orrim file
    std::uint16_t PacketCount = 0;
    std::int16_t DataOffset = 0;  // negative: the packets start at the beginning of the file
};

// The next 16-bit word, high byte first. A word read at or across the end of the file reads
// 0xFFFF.
std::uint16_t ReadFileWord(ImageFile& file);

// Whether a file meant for hardware revision `file_id` may be downloaded to a drive of
// revision `drive_id` (0 to 15).
bool RevisionCompatible(int file_id, int drive_id);

// A drive revision for CheckHeader before the drive is identified: every check but the
// revision's.
inline constexpr int kRevisionNotYetKnown = -1;

// Reads the header from the start of the file and checks it against the drive's hardware
// revision ID (0 to 15, or kRevisionNotYetKnown). `label` is the file name display's text (at most
// 19 characters are used). On rejection shows the message box (caption "Orrim file error") and
// returns its result; on success returns HeaderResult::kAccepted and fills `header`.
HeaderResult CheckHeader(ImageFile& file, int drive_revision, const std::string& label,
                         ImageHeader& header);

// Reads the next packet into `packet`; returns kReady, kNoMorePackets or a fault, whose text
// it has written to the status line. One stray byte at the end of the file is no packet, unless
// it is the first byte of a BOP word: the file was then cut inside one (kPrematureEnd).
PacketResult ReadPacket(ImageFile& file, Packet& packet);

// Reads the whole image once, from the data offset of its accepted header to its end, into
// `area`, before anything of it is sent: kReady when the download would send it whole
// (`packets` tells how many packets it holds), else the first fault with the reader's text on
// the status line: a packet's own result, or kPrematureEnd ("Error: Premature
// end-of-file encountered") for a file shorter than its header, a data offset past the end
// of the file, or a KDX file with fewer packets than its header declares. Leaves the reading
// position anywhere.
PacketResult CheckWholeImage(ImageFile& file, const ImageHeader& header, Packet& area,
                             int& packets);

}  // namespace vantor
