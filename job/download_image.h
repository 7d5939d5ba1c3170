// The download of one image file to the boot loader, and the packet exchange under it. Every
// function works on the current port (link/serial_port.h), which must be open with the drive
// in its boot-loader mode, and reports its failures on the status line itself, once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "image/image_reader.h"

namespace vantor {

inline constexpr std::uint16_t kAckWord = 0x616B;     // 'ak'
inline constexpr std::uint16_t kRefuseWord = 0x4E4F;  // 'NO'
inline constexpr int kMaxSends = 3;
inline constexpr int kAckPollBudget = 5000;
inline constexpr int kResponsePollBudget = 3000;
inline constexpr int kReadDataExtraBudget = 5000;

// What WaitAck and ReadResponse return besides a word the drive sent. The values lie outside
// the 16-bit words (or, for kResponseError, below zero), so they never pass for one.
inline constexpr int kUnexpectedWords = 0x7000;  // WaitAck: two words, neither kAckWord
inline constexpr int kNothingArrived = 0x8000;   // the budget ran out before the words came
inline constexpr int kUnknownResponse = 0x9000;  // ReadResponse: a response word it does not know
inline constexpr int kProtectedMemory = 128;     // ReadResponse: status 0x0080
inline constexpr int kResponseError = -6;        // ReadResponse: any other status but 0

// What DownloadImage returns: kImageDownloaded, one of its own failures below, or a code of
// the image reader (image_reader.h: a header the drive does not take, a bad packet). The values
// are the design's and overlap the reader's (-2 is both kImageUnopenable and kBadBopWord); the
// status line tells them apart.
inline constexpr int kImageDownloaded = 0;
inline constexpr int kImageUnopenable = -2;        // "Error: Unable to open file"
inline constexpr int kPacketNotAcknowledged = -3;  // no acknowledgement after kMaxSends sends
inline constexpr int kPacketResponseFailed = -4;   // ReadResponse gave kResponseError
inline constexpr int kPacketInvalidCommand = -5;   // "??" to a packet taken only at its last send

inline constexpr int kImageStopped = -100;  // the job asked to stop between packets

// What the packet exchanges met, added up over every image of a job: the run's record.
struct DownloadTally {
    int PacketsSent = 0;                       // packets put on the line, each counted once
    std::array<int, kMaxSends> AckedAtSend{};  // acknowledged at the first, second, third send
    int ProtectedWarnings = 0;                 // responses with the protected-memory status
    int MissingResponses = 0;                  // no response within its budget
    int UnrecognisedResponses = 0;             // a response word the exchange does not know
    int LateResponsesDropped = 0;              // dropped before the next acknowledgement
    int ImagesDownloaded = 0;                  // images that ended "Download successful"
};

// Opens the image, checks its header against the drive's revision (ident_word's top four
// bits), reads it whole to refuse a damaged or cut image before anything is sent, then sends
// every packet with its acknowledgement and response; after the last one shows "Download
// successful" and sounds the tone. The progress bar counts the packets. What the exchanges
// met is added to `tally` when one is given; when `stop` is set before a packet, nothing more
// is sent and kImageStopped is returned.
int DownloadImage(const std::string& image_path, std::uint16_t ident_word,
                  DownloadTally* tally = nullptr, const std::atomic<int>* stop = nullptr);
// Reads an image as DownloadImage will before the drive is known: opens it, checks its header
// (all but the revision) and reads every packet. kImageDownloaded when it would go whole, else
// DownloadImage's code for it, with the same texts and message box; `header` and `packets`
// tell what it declares and holds.
int CheckImage(const std::string& image_path, ImageHeader& header, int& packets);
// Sends one packet: BOP word, length, the payload bytes, checksum.
void SendPacket(const Packet& packet);
// Waits, within `budget` polls of 1 ms, for the packet's acknowledgement: kAckWord (also after
// one stray word), kRefuseWord (its following word dropped when that is all that came),
// kNothingArrived or kUnexpectedWords (the received bytes are dropped for the last two). When
// the previous packet's response is overdue, a response that comes first is read and dropped
// (`dropped` tells) rather than taken for this packet's acknowledgement.
int WaitAck(int budget, bool response_overdue = false, bool* dropped = nullptr);
// Waits, within `budget` polls of 1 ms, for the packet's response word and status word: the
// response word ("ER", "EX", "WR", "??" or "RD"; for "RD" after its count word and data bytes,
// which it reads and drops), kProtectedMemory, kResponseError, kUnknownResponse or
// kNothingArrived.
int ReadResponse(int budget);

}  // namespace vantor
