// Builds Orrim image files, sound or deliberately broken, for the tests, the fuzzers' seed
// corpora and the image-making tool. Payloads look like the boot loader's command packets: a
// command word ('WR', 'ER'), a 32-bit address and the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image_reader.h"

namespace vantor::image_writer {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kWriteCommand = 0x5752;  // 'WR'
inline constexpr std::uint16_t kEraseCommand = 0x4552;  // 'ER'
inline constexpr std::size_t kCommandHeaderBytes = 6;   // command word and 32-bit address
inline constexpr std::int16_t kKdxHeaderBytes = 16;
inline constexpr std::int16_t kPlainHeaderBytes = 4;

void AppendWord(Bytes& bytes, std::uint16_t word);

// The sum the reader checks: both bytes of the length word plus every payload byte.
std::uint16_t PacketChecksum(const Bytes& payload);

// 'WR', the address, then the data.
Bytes WritePayload(std::uint32_t address, const Bytes& data);
// 'ER', the address, then the number of bytes to erase.
Bytes ErasePayload(std::uint32_t address, std::uint16_t byte_count);
// A 'WR' payload of `payload_bytes` bytes in all (at least the command header), its data
// drawn from `seed` so that the same arguments always give the same bytes.
Bytes FillerPayload(std::size_t payload_bytes, std::uint32_t address, std::uint32_t seed);

// A packet exactly as stored: BOP word, length, payload, checksum.
Bytes RawPacket(std::uint16_t bop, std::uint16_t length, const Bytes& payload,
                std::uint16_t checksum);
// A sound packet of `payload`.
Bytes PacketBytes(const Bytes& payload);

enum class PacketFault {
    BadBop,          // the first word is not A5 5A
    BadChecksum,     // the checksum word is one off
    OversizedLength  // the length word says one byte more than the largest packet
};
Bytes BrokenPacket(const Bytes& payload, PacketFault fault);

// The fields of a KDX header; the defaults are those of a sound file for revision 2.
struct KdxHeader {
    std::uint16_t packet_count = 0;
    std::uint16_t magic = kOrrimMagic;
    std::int16_t format_version = kMaxFormatVersion;
    std::uint16_t reserved = 0;
    std::uint16_t family = 0;
    std::int16_t revision = 2;
    std::int16_t data_offset = kKdxHeaderBytes;
};
Bytes KdxHeaderBytes(const KdxHeader& header);
// A plain file's header: the data offset (never 0, which marks a KDX file) and the count.
Bytes PlainHeaderBytes(std::int16_t data_offset, std::uint16_t packet_count);

// Builds a whole image: a header, zero bytes up to the data offset, then packets and any raw
// bytes in the order given. The declared packet count is the number of Packet calls unless
// DeclaredCount sets another.
class ImageBuilder {
  public:
    static ImageBuilder Kdx(int revision);
    static ImageBuilder Plain();

    ImageBuilder& Header(const KdxHeader& header);
    ImageBuilder& DeclaredCount(std::uint16_t packet_count);
    ImageBuilder& DataOffset(std::int16_t data_offset);
    ImageBuilder& Packet(const Bytes& payload);
    // `count` 'WR' packets of `payload_bytes` each, writing consecutive addresses.
    ImageBuilder& FillerPackets(int count, std::size_t payload_bytes,
                                std::uint32_t base_address = 0x00010000, std::uint32_t seed = 1);
    ImageBuilder& Broken(const Bytes& payload, PacketFault fault);
    // Bytes as they are: a hand-made packet, or stray bytes after the last packet.
    ImageBuilder& Raw(const Bytes& bytes);
    // Cuts the last `byte_count` bytes off the finished image.
    ImageBuilder& Truncate(std::size_t byte_count);

    Bytes Build() const;
    // Writes the image to a new temporary file and returns its path ("" on failure).
    std::string WriteTemp(const std::string& stem = "vantor-image") const;

  private:
    explicit ImageBuilder(bool kdx) : kdx_(kdx) {}

    bool kdx_;
    KdxHeader header_;
    bool count_set_ = false;
    bool offset_set_ = false;
    int packets_ = 0;
    std::size_t truncate_bytes_ = 0;
    Bytes body_;
};

// Writes `bytes` to `path`, replacing it; false when the file cannot be written whole.
bool WriteFile(const std::string& path, const Bytes& bytes);
// Writes `bytes` to a new file in the temporary folder ($TMPDIR, else /tmp) and returns its
// path, "" on failure. The caller removes it.
std::string WriteTempFile(const Bytes& bytes, const std::string& stem = "vantor-image");

}  // namespace vantor::image_writer
