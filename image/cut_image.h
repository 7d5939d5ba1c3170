// An image file that ends inside a packet. The reader compares a packet's checksum before it
// looks at the end of the file, so a file cut short is reported as a checksum error, a premature
// end or a wrong BOP word, as the missing bytes make it; this finds what the file really is, so
// that the messages can name it.
#pragma once

#include <optional>
#include <string>

namespace vantor {

struct CutPacket {
    int packet = 0;              // the packet the file ends in, from 1
    long long bytes_held = 0;    // how many of its bytes the file holds
    long long packet_bytes = 0;  // how many it has whole; 0 when its length word is cut away
};

// Walks the packets of the file at `path` from `data_offset` (a negative one: the start) by
// their BOP and length words alone, and says where the file ends inside a packet. Nothing when
// the file ends between packets (one stray byte after the last packet is none, unless it is the
// first byte of a BOP word), when a packet's BOP word or length is wrong before the end, or when
// the file cannot be read. At most `most_packets` packets are walked.
std::optional<CutPacket> FindCutPacket(const std::string& path, long data_offset,
                                       int most_packets = 1 << 20);

// "the file ends 37 bytes into packet 12 (of 1030 bytes): it is cut short".
std::string CutPacketText(const CutPacket& cut);

}  // namespace vantor
