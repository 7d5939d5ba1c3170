#include "image/cut_image.h"

#include <cstdio>
#include <fstream>

namespace vantor {

namespace {

constexpr int kBopHigh = 0xA5;
constexpr int kBopLow = 0x5A;
constexpr long long kMostPayloadBytes = 16398;
constexpr long long kFrameBytes = 6;  // BOP word, length word, checksum word

}  // namespace

std::optional<CutPacket> FindCutPacket(const std::string& path, long data_offset,
                                       int most_packets) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    file.seekg(0, std::ios::end);
    const long long size = static_cast<long long>(file.tellg());
    long long offset = data_offset > 0 ? data_offset : 0;
    for (int packet = 1; packet <= most_packets && offset < size; ++packet) {
        unsigned char head[4] = {};
        const long long left = size - offset;
        file.seekg(offset);
        file.read(reinterpret_cast<char*>(head), left < 4 ? left : 4);
        if (!file) {
            return std::nullopt;
        }
        if (head[0] != kBopHigh || (left >= 2 && head[1] != kBopLow)) {
            return std::nullopt;  // a stray byte, or a wrong BOP word: no cut
        }
        if (left < 4) {
            return CutPacket{packet, left, 0};
        }
        const long long payload = head[2] << 8 | head[3];
        if (payload > kMostPayloadBytes) {
            return std::nullopt;
        }
        if (left < payload + kFrameBytes) {
            return CutPacket{packet, left, payload + kFrameBytes};
        }
        offset += payload + kFrameBytes;
    }
    return std::nullopt;
}

std::string CutPacketText(const CutPacket& cut) {
    char text[160];
    if (cut.packet_bytes > 0) {
        std::snprintf(text, sizeof text,
                      "the file ends %lld bytes into packet %d (of %lld bytes): it is cut short",
                      cut.bytes_held, cut.packet, cut.packet_bytes);
    } else {
        std::snprintf(text, sizeof text,
                      "the file ends %lld byte%s into packet %d, inside its BOP and length "
                      "words: it is cut short",
                      cut.bytes_held, cut.bytes_held == 1 ? "" : "s", cut.packet);
    }
    return text;
}

}  // namespace vantor
