// The image reader: checks an Orrim file's header against the drive's hardware revision and
// reads its packets one at a time, each checked (BOP word, length, checksum, end of file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "image/sha256.h"

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

// Images up to this size are read into memory whole when they are opened, then checked and sent
// from those very bytes, so that nothing done to the file on disk afterwards reaches the drive.
// Real images are a few kilobytes to a few megabytes; at 19200 baud this much takes ten hours
// on the line. A larger file is read from the disk as it is sent (ImageFile::Source::kDisk).
inline constexpr std::size_t kImageMemoryLimitBytes = std::size_t{64} * 1024 * 1024;

// An image file opened for binary reading, read a byte or a word at a time: from memory, or
// from the disk through a buffered stream. Closed by Close or by the destructor.
class ImageFile {
  public:
    enum class Source {
        kClosed,
        kMemory,  // read whole when opened; the file itself is closed again at once
        kDisk,    // read from the file as it goes
    };

    ImageFile() = default;
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens a regular file (a directory, a pipe or a device is refused) and reads it whole into
    // memory when it holds at most `memory_limit_bytes`; a larger one is read from the disk. A
    // read that fails while loading shows, as on the disk, as ReadFailed where the bytes end.
    bool Open(const std::string& path, std::size_t memory_limit_bytes = kImageMemoryLimitBytes);
    // After a failed Open: why the file could not be opened, in the system's words or as what
    // the path is instead ("it is a folder, not a file"); empty otherwise.
    const std::string& open_problem() const { return open_problem_; }
    // Takes over an open stream (a memory stream in the fuzzer, say) as a disk source; false
    // for nullptr.
    bool Adopt(std::FILE* stream);
    // Takes `bytes` as the whole file.
    void AdoptBytes(std::string bytes);
    Source source() const { return source_; }
    bool IsOpen() const { return source_ != Source::kClosed; }
    void Close();
    // The next byte (0 to 255), or -1 at the end of the file.
    int ReadByte();
    void Rewind();
    // Moves to `offset` bytes from the start of the file; a negative offset to the start.
    void SeekFromStart(long offset);
    // True once a read has met the end of the file; cleared by Rewind, SeekFromStart and
    // ClearEndMet.
    bool EndMet() const { return end_met_; }
    void ClearEndMet() { end_met_ = false; }
    // True once a read has failed with an error rather than at the end of the file.
    bool ReadFailed() const { return read_failed_; }
    // The file's size in bytes (-1 when it cannot be told); the reading position is kept.
    long Size();

    // The size and SHA-256 of the whole file, once known: from the start for a memory source;
    // for a disk source once the reads since the last Rewind have met every byte in order from
    // the start to the end (a forward seek reads the bytes it passes).
    std::optional<FileDigest> Digest() const;
    // A disk source is taken from now on to hold `size_bytes`: reads end there even when the
    // file has grown, and a read that meets the file's end sooner marks it as shrunk.
    void HoldSize(long long size_bytes);
    bool Shrunk() const { return shrunk_; }

  private:
    int ReadDiskByte();
    void ReadThrough(long long offset);

    Source source_ = Source::kClosed;
    std::string open_problem_;
    std::string bytes_;  // a memory source's file
    std::string sha256_;
    bool load_failed_ = false;
    std::FILE* file_ = nullptr;  // a disk source's stream
    long long position_ = 0;
    // A disk source's digest: every byte from the start up to hashed_bytes_, each taken the
    // first time a read meets it.
    Sha256Hasher hash_;
    long long hashed_bytes_ = 0;
    bool hashed_to_end_ = false;
    long long held_size_ = -1;
    bool shrunk_ = false;
    bool end_met_ = false;
    bool read_failed_ = false;
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
