#include "image/image_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vantor::image_writer {

namespace {

void AppendLong(Bytes& bytes, std::uint32_t value) {
    AppendWord(bytes, static_cast<std::uint16_t>(value >> 16));
    AppendWord(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
}

std::uint16_t SumWithLength(std::uint16_t length, const Bytes& payload) {
    unsigned sum = (length >> 8) + (length & 0xFFu);
    for (std::uint8_t byte : payload) {
        sum += byte;
    }
    return static_cast<std::uint16_t>(sum);
}

// A small linear congruential generator: filler data only has to look varied and be the
// same on every machine.
std::uint8_t NextFillerByte(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state >> 24);
}

// The system's temporary folder: $TMPDIR or /tmp on POSIX systems, %TMP% on Windows.
std::string TempFolder() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    return error ? std::string(".") : folder.string();
}

}  // namespace

void AppendWord(Bytes& bytes, std::uint16_t word) {
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

std::uint16_t PacketChecksum(const Bytes& payload) {
    return SumWithLength(static_cast<std::uint16_t>(payload.size()), payload);
}

Bytes WritePayload(std::uint32_t address, const Bytes& data) {
    Bytes payload;
    AppendWord(payload, kWriteCommand);
    AppendLong(payload, address);
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

Bytes ErasePayload(std::uint32_t address, std::uint16_t byte_count) {
    Bytes payload;
    AppendWord(payload, kEraseCommand);
    AppendLong(payload, address);
    AppendWord(payload, byte_count);
    return payload;
}

Bytes FillerPayload(std::size_t payload_bytes, std::uint32_t address, std::uint32_t seed) {
    const std::size_t data_bytes =
        payload_bytes > kCommandHeaderBytes ? payload_bytes - kCommandHeaderBytes : 0;
    Bytes data(data_bytes);
    std::uint32_t state = seed ^ address;
    for (std::uint8_t& byte : data) {
        byte = NextFillerByte(state);
    }
    return WritePayload(address, data);
}

Bytes RawPacket(std::uint16_t bop, std::uint16_t length, const Bytes& payload,
                std::uint16_t checksum) {
    Bytes bytes;
    AppendWord(bytes, bop);
    AppendWord(bytes, length);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    AppendWord(bytes, checksum);
    return bytes;
}

Bytes PacketBytes(const Bytes& payload) {
    return RawPacket(kBopWord, static_cast<std::uint16_t>(payload.size()), payload,
                     PacketChecksum(payload));
}

Bytes BrokenPacket(const Bytes& payload, PacketFault fault) {
    const auto length = static_cast<std::uint16_t>(payload.size());
    const std::uint16_t checksum = PacketChecksum(payload);
    switch (fault) {
        case PacketFault::BadBop:
            return RawPacket(0xA55B, length, payload, checksum);
        case PacketFault::BadChecksum:
            return RawPacket(kBopWord, length, payload, static_cast<std::uint16_t>(checksum + 1));
        case PacketFault::OversizedLength: {
            constexpr auto kTooLong = static_cast<std::uint16_t>(kMaxPacketLength + 1);
            return RawPacket(kBopWord, kTooLong, payload, SumWithLength(kTooLong, payload));
        }
    }
    return PacketBytes(payload);
}

Bytes KdxHeaderBytes(const KdxHeader& header) {
    Bytes bytes;
    AppendWord(bytes, 0);
    AppendWord(bytes, header.packet_count);
    AppendWord(bytes, header.magic);
    AppendWord(bytes, static_cast<std::uint16_t>(header.format_version));
    AppendWord(bytes, header.reserved);
    AppendWord(bytes, header.family);
    AppendWord(bytes, static_cast<std::uint16_t>(header.revision));
    AppendWord(bytes, static_cast<std::uint16_t>(header.data_offset));
    return bytes;
}

Bytes PlainHeaderBytes(std::int16_t data_offset, std::uint16_t packet_count) {
    Bytes bytes;
    AppendWord(bytes, static_cast<std::uint16_t>(data_offset));
    AppendWord(bytes, packet_count);
    return bytes;
}

ImageBuilder ImageBuilder::Kdx(int revision) {
    ImageBuilder builder(true);
    builder.header_.revision = static_cast<std::int16_t>(revision);
    return builder;
}

ImageBuilder ImageBuilder::Plain() {
    ImageBuilder builder(false);
    builder.header_.data_offset = kPlainHeaderBytes;
    return builder;
}

ImageBuilder& ImageBuilder::Header(const KdxHeader& header) {
    header_ = header;
    count_set_ = true;
    offset_set_ = true;
    return *this;
}

ImageBuilder& ImageBuilder::DeclaredCount(std::uint16_t packet_count) {
    header_.packet_count = packet_count;
    count_set_ = true;
    return *this;
}

ImageBuilder& ImageBuilder::DataOffset(std::int16_t data_offset) {
    header_.data_offset = data_offset;
    offset_set_ = true;
    return *this;
}

ImageBuilder& ImageBuilder::Packet(const Bytes& payload) {
    const Bytes packet = PacketBytes(payload);
    body_.insert(body_.end(), packet.begin(), packet.end());
    ++packets_;
    return *this;
}

ImageBuilder& ImageBuilder::FillerPackets(int count, std::size_t payload_bytes,
                                          std::uint32_t base_address, std::uint32_t seed) {
    const std::size_t data_bytes =
        payload_bytes > kCommandHeaderBytes ? payload_bytes - kCommandHeaderBytes : 0;
    for (int index = 0; index < count; ++index) {
        const auto address = static_cast<std::uint32_t>(base_address + index * data_bytes);
        Packet(FillerPayload(payload_bytes, address, seed));
    }
    return *this;
}

ImageBuilder& ImageBuilder::Broken(const Bytes& payload, PacketFault fault) {
    return Raw(BrokenPacket(payload, fault));
}

ImageBuilder& ImageBuilder::Raw(const Bytes& bytes) {
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
}

ImageBuilder& ImageBuilder::Truncate(std::size_t byte_count) {
    truncate_bytes_ = byte_count;
    return *this;
}

Bytes ImageBuilder::Build() const {
    KdxHeader header = header_;
    if (!count_set_) {
        header.packet_count = static_cast<std::uint16_t>(packets_);
    }
    Bytes image =
        kdx_ ? KdxHeaderBytes(header) : PlainHeaderBytes(header.data_offset, header.packet_count);
    if (header.data_offset > 0 && static_cast<std::size_t>(header.data_offset) > image.size()) {
        image.resize(static_cast<std::size_t>(header.data_offset), 0);
    }
    image.insert(image.end(), body_.begin(), body_.end());
    image.resize(image.size() > truncate_bytes_ ? image.size() - truncate_bytes_ : 0);
    return image;
}

std::string ImageBuilder::WriteTemp(const std::string& stem) const {
    return WriteTempFile(Build(), stem);
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::string WriteTempFile(const Bytes& bytes, const std::string& stem) {
    std::string path = TempFolder() + "/" + stem + "-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        return {};
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            ::close(fd);
            ::unlink(path.c_str());
            return {};
        }
        done += static_cast<std::size_t>(written);
    }
    if (::close(fd) != 0) {
        ::unlink(path.c_str());
        return {};
    }
    return path;
}

}  // namespace vantor::image_writer
