// The download of one image file to the boot loader, and the packet exchange under it. Every
// function works on the current port (link/serial_port.h), which must be open with the drive
// in its boot-loader mode, and reports its failures on the status line itself, once.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/image_reader.h"

namespace vantor {

inline constexpr std::uint16_t kAckWord = 0x616B;     // 'ak'
inline constexpr std::uint16_t kRefuseWord = 0x4E4F;  // 'NO'
inline constexpr int kMaxSends = 3;
inline constexpr int kAckPollBudget = 5000;
inline constexpr int kResponsePollBudget = 3000;
inline constexpr int kReadDataExtraBudget = 5000;

// What WaitAck returns, with the design's values: the word the drive sent, or a value outside
// the 16-bit words, so that it never passes for one.
enum class AckResult : int {
    kAcknowledged = kAckWord,
    kRefused = kRefuseWord,
    kUnexpectedWords = 0x7000,  // two words, neither kAckWord
    kNothingArrived = 0x8000,   // the budget ran out before the words came
};

// What ReadResponse returns, with the design's values: the response word the drive sent, or a
// value outside the 16-bit words (or, for kError, below zero), so that it never passes for one.
enum class ResponseResult : int {
    kEr = 0x4552,              // "ER"
    kEx = 0x4558,              // "EX"
    kRd = 0x5244,              // "RD", its data bytes read and dropped
    kWr = 0x5752,              // "WR"
    kInvalidCommand = 0x3F3F,  // "??"
    kProtectedMemory = 128,    // status 0x0080
    kError = -6,               // any other status but 0
    kUnknown = 0x9000,         // a response word it does not know
    kNothingArrived = 0x8000,  // the budget ran out before the words came
};

// What DownloadImage and CheckImage return: kDownloaded, one of DownloadImage's own failures,
// or what the image reader refused (a header the drive does not take, a bad packet).
enum class ImageResult {
    kDownloaded,
    kUnopenable,        // "Error: Unable to open file"
    kNotAcknowledged,   // no acknowledgement after kMaxSends sends
    kResponseFailed,    // ReadResponse gave ResponseResult::kError
    kInvalidCommand,    // "??" to a packet taken only at its last send
    kStopped,           // the job asked to stop between packets
    kRevisionMismatch,  // the header's results (HeaderResult)
    kNotOrrimMagic,
    kFormatTooNew,
    kNotKdxFamily,
    kBadBopWord,  // the packets' results (PacketResult)
    kPacketTooLong,
    kChecksumMismatch,
    kPrematureEnd,
    // The image's bytes are not those that were checked, or not those the run set out to send
    // (DownloadImageOptions::expected_sha256): "Error: The image file changed during the
    // download".
    kImageChanged,
};

// What a refused header or a bad packet makes of the image.
ImageResult ImageResultOf(HeaderResult refused);
ImageResult ImageResultOf(PacketResult fault);

// True when the image's own form is at fault (its header or a packet), not the drive or the
// line.
constexpr bool IsFaultOfTheFormat(ImageResult result) {
    switch (result) {
        case ImageResult::kNotOrrimMagic:
        case ImageResult::kFormatTooNew:
        case ImageResult::kNotKdxFamily:
        case ImageResult::kBadBopWord:
        case ImageResult::kPacketTooLong:
        case ImageResult::kChecksumMismatch:
        case ImageResult::kPrematureEnd:
            return true;
        default:
            return false;
    }
}

// The design's number for an image's result, the one place that gives it: the job's result
// for a failed image, shown in exit statuses and records. The numbers overlap the reader's
// (-2 is both kUnopenable and kBadBopWord, -6 both kRevisionMismatch and kPrematureEnd); the
// status line tells them apart.
constexpr int DesignCode(ImageResult result) {
    switch (result) {
        case ImageResult::kDownloaded:
            return 0;
        case ImageResult::kUnopenable:
            return -2;
        case ImageResult::kNotAcknowledged:
            return -3;
        case ImageResult::kResponseFailed:
            return -4;
        case ImageResult::kInvalidCommand:
            return -5;
        case ImageResult::kStopped:
            return -100;
        case ImageResult::kRevisionMismatch:
            return DesignCode(HeaderResult::kRevisionMismatch);
        case ImageResult::kNotOrrimMagic:
            return DesignCode(HeaderResult::kNotOrrimMagic);
        case ImageResult::kFormatTooNew:
            return DesignCode(HeaderResult::kFormatTooNew);
        case ImageResult::kNotKdxFamily:
            return DesignCode(HeaderResult::kNotKdxFamily);
        case ImageResult::kBadBopWord:
            return DesignCode(PacketResult::kBadBopWord);
        case ImageResult::kPacketTooLong:
            return DesignCode(PacketResult::kTooLong);
        case ImageResult::kChecksumMismatch:
            return DesignCode(PacketResult::kChecksumMismatch);
        case ImageResult::kPrematureEnd:
            return DesignCode(PacketResult::kPrematureEnd);
        case ImageResult::kImageChanged:
            return -10;  // below the reader's codes, so that it stands for this cause alone
    }
    return 0;
}

// The design's numbers for the exchanges' results.
constexpr int DesignCode(AckResult result) {
    return static_cast<int>(result);
}
constexpr int DesignCode(ResponseResult result) {
    return static_cast<int>(result);
}

// One image as the download read and sent it. The digest is of the bytes the packets were
// taken from, so a record can name exactly what the drive got.
struct SentImage {
    std::string Path;
    long long SizeBytes = 0;
    std::string Sha256;       // 64 lower-case hexadecimal digits; empty when nothing was read
    int PacketsDeclared = 0;  // the header's count (KDX), or the packets the check found (plain)
    int PacketsSent = 0;
    // True when the bytes the packets were taken from were found to differ from those checked
    // (the file was cut or rewritten while it was sent): the record then never says that what
    // was sent is what the run started with, whatever digest is known.
    bool ChangedWhileSent = false;
};

// What the packet exchanges met, added up over every image of a job: the run's record.
struct DownloadTally {
    int PacketsSent = 0;                       // packets put on the line, each counted once
    std::array<int, kMaxSends> AckedAtSend{};  // acknowledged at the first, second, third send
    int ProtectedWarnings = 0;                 // responses with the protected-memory status
    int MissingResponses = 0;                  // no response within its budget
    int UnrecognisedResponses = 0;             // a response word the exchange does not know
    int InvalidCommandResponses = 0;           // "??": the boot loader did not take the command
    int LateResponsesDropped = 0;              // dropped before the next acknowledgement
    int ImagesDownloaded = 0;                  // images that ended "Download successful"
    std::vector<SentImage> Images;             // every image the download opened, in order
};

// What DownloadImage is given besides the image and the drive.
struct DownloadImageOptions {
    DownloadTally* tally = nullptr;  // what the exchanges met is added to it
    // The success tone after the image. A front end leaves it out where no one listens for it:
    // the stations of a production line finish many at once and no one can tell whose it is.
    bool success_tone = true;
    // Set before a packet: nothing more is sent and kStopped is returned.
    const std::atomic<int>* stop = nullptr;
    // The SHA-256 the run set out to send for this image (64 lower-case hexadecimal digits):
    // an image whose bytes differ is refused with kImageChanged before anything is sent. None:
    // any image is taken.
    std::optional<std::string> expected_sha256;
    std::size_t memory_limit_bytes = kImageMemoryLimitBytes;  // see ImageFile::Open
    std::size_t block_bytes = kImageBlockBytes;               // see ImageFile::Open
};

// Opens the image and reads it whole (into memory up to the options' limit), checks its header
// against the drive's revision (ident_word's top four bits) and every packet, to refuse a
// damaged or cut image before anything is sent, then sends every packet from the bytes it
// checked, each with its acknowledgement and response; after the last one shows "Download
// successful" and sounds the tone. The progress bar counts the packets. Success means that
// every packet the check found was sent and acknowledged. An image above the memory limit is
// read from the disk again while it is sent: a file that meets its end sooner than it did, or
// whose bytes read differently, fails with kImageChanged (a change that keeps the size shows only
// after the last packet). The tally, when given, gets the exchanges' counts and the image
// (DownloadTally::Images) with the SHA-256 of the bytes its packets were taken from.
ImageResult DownloadImage(const std::string& image_path, std::uint16_t ident_word,
                          const DownloadImageOptions& options = {});
// What CheckImage found in an image.
struct ImageCheck {
    // kDownloaded when it would go whole, else DownloadImage's result for it.
    ImageResult result = ImageResult::kDownloaded;
    ImageHeader header;  // what it declares
    int packets = 0;     // what it holds
    // Why the file could not be opened, for kUnopenable.
    std::optional<std::string> open_problem;
};
// Reads an image as DownloadImage will before the drive is known: opens it, checks its header
// (all but the revision) and reads every packet, with the same texts and message box. Its result
// is kImageChanged when its SHA-256 is not `expected_sha256`.
ImageCheck CheckImage(const std::string& image_path,
                      const std::optional<std::string>& expected_sha256 = std::nullopt);
// Sends one packet: BOP word, length, the payload bytes, checksum.
void SendPacket(const Packet& packet);
// Waits, within `budget` polls of 1 ms, for the packet's acknowledgement: kAcknowledged (also after
// one stray word), kRefused (its following word dropped when that is all that came),
// kNothingArrived or kUnexpectedWords (the received bytes are dropped for the last two). When
// the previous packet's response is overdue, a response that comes first is read and dropped
// (`dropped` tells) rather than taken for this packet's acknowledgement.
AckResult WaitAck(int budget, bool response_overdue = false, bool* dropped = nullptr);
// Waits, within `budget` polls of 1 ms, for the packet's response word and status word: the
// response word ("ER", "EX", "WR", "??" or "RD"; for "RD" after its count word and data bytes,
// which it reads and drops), kProtectedMemory, kError, kUnknown or kNothingArrived.
ResponseResult ReadResponse(int budget);

}  // namespace vantor
