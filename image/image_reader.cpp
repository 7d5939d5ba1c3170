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

// Images are read a byte at a time; a large stream buffer keeps that to a few system calls.
constexpr std::size_t kStreamBufferBytes = 64 * 1024;

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
    for (int index = 0; index < packet.Length; ++index) {
        const int byte = file.ReadByte();
        packet.Payload[index] = static_cast<std::uint16_t>(byte & 0xFF);
        sum += byte;
    }
    return sum;
}

}  // namespace

ImageFile::~ImageFile() {
    Close();
}

bool ImageFile::Open(const std::string& path, std::size_t memory_limit_bytes) {
    Close();
    // A refused folder, pipe or device leaves errno as it was, so it starts at 0.
    errno = 0;
    const int fd = platform::OpenRegularFile(path, false, false);
    if (fd < 0) {
        open_problem_ = OpenProblem(path, errno);
        return false;
    }
    std::FILE* stream = ::fdopen(fd, "rb");
    if (stream == nullptr) {
        open_problem_ = OpenProblem(path, errno);
        ::close(fd);
        return false;
    }
    // A stream takes its buffer before its first read only.
    std::setvbuf(stream, nullptr, _IOFBF, kStreamBufferBytes);
    // A file too large for memory is read from the disk, and so is one that grows while it is
    // loaded: the byte read past its size shows that.
    const bool sized = std::fseek(stream, 0, SEEK_END) == 0;
    const long size = sized ? std::ftell(stream) : -1;
    std::rewind(stream);
    bool fits = size >= 0 && static_cast<unsigned long>(size) <= memory_limit_bytes;
    std::string bytes;
    if (fits) {
        try {
            bytes.resize(static_cast<std::size_t>(size) + 1);
        } catch (const std::bad_alloc&) {
            fits = false;  // a machine short of memory reads the image from the disk
        }
    }
    if (fits) {
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), stream));
    }
    if (!fits || bytes.size() > static_cast<std::size_t>(size)) {
        std::rewind(stream);
        file_ = stream;
        source_ = Source::kDisk;
        return true;
    }
    const bool failed = std::ferror(stream) != 0;
    std::fclose(stream);
    AdoptBytes(std::move(bytes));
    load_failed_ = failed;
    return true;
}

bool ImageFile::Adopt(std::FILE* stream) {
    Close();
    if (stream == nullptr) {
        return false;
    }
    std::setvbuf(stream, nullptr, _IOFBF, kStreamBufferBytes);
    file_ = stream;
    source_ = Source::kDisk;
    return true;
}

void ImageFile::AdoptBytes(std::string bytes) {
    Close();
    bytes_ = std::move(bytes);
    sha256_ = Sha256Hex(bytes_);
    source_ = Source::kMemory;
}

void ImageFile::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    source_ = Source::kClosed;
    open_problem_.clear();
    bytes_.clear();
    bytes_.shrink_to_fit();
    sha256_.clear();
    load_failed_ = false;
    position_ = 0;
    hash_ = Sha256Hasher();
    hashed_bytes_ = 0;
    hashed_to_end_ = false;
    held_size_ = -1;
    shrunk_ = false;
    end_met_ = false;
    read_failed_ = false;
}

int ImageFile::ReadByte() {
    if (source_ == Source::kDisk) {
        return ReadDiskByte();
    }
    if (position_ < static_cast<long long>(bytes_.size())) {
        return static_cast<unsigned char>(bytes_[static_cast<std::size_t>(position_++)]);
    }
    end_met_ = true;
    read_failed_ = read_failed_ || load_failed_;
    return -1;
}

int ImageFile::ReadDiskByte() {
    const bool held_end = held_size_ >= 0 && position_ >= held_size_;
    const int byte = held_end ? EOF : std::getc(file_);
    if (byte == EOF) {
        end_met_ = true;
        read_failed_ = read_failed_ || (!held_end && std::ferror(file_) != 0);
        hashed_to_end_ = hashed_to_end_ || (!read_failed_ && position_ == hashed_bytes_);
        shrunk_ = shrunk_ || (held_size_ >= 0 && position_ < held_size_);
        return -1;
    }
    if (position_ == hashed_bytes_) {
        hash_.Add(static_cast<unsigned char>(byte));
        ++hashed_bytes_;
    }
    ++position_;
    return byte;
}

void ImageFile::Rewind() {
    if (file_ != nullptr) {
        std::rewind(file_);
    }
    position_ = 0;
    hash_ = Sha256Hasher();
    hashed_bytes_ = 0;
    hashed_to_end_ = false;
    end_met_ = false;
    read_failed_ = false;
}

long ImageFile::Size() {
    if (source_ == Source::kMemory) {
        return static_cast<long>(bytes_.size());
    }
    if (file_ == nullptr) {
        return -1;
    }
    const long position = std::ftell(file_);
    if (position < 0 || std::fseek(file_, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file_);
    std::fseek(file_, position, SEEK_SET);
    return size;
}

void ImageFile::SeekFromStart(long offset) {
    // A negative data offset leaves the position at the start of the file, and an offset
    // beyond the end leaves it at the end: no packet follows.
    const long long target = std::max(offset, 0L);
    if (source_ == Source::kMemory) {
        position_ = std::min(target, static_cast<long long>(bytes_.size()));
    } else if (file_ != nullptr && target > hashed_bytes_ && !hashed_to_end_) {
        ReadThrough(target);
    } else if (file_ != nullptr) {
        // A memory stream ends where its data ends and cannot go beyond.
        if (std::fseek(file_, static_cast<long>(target), SEEK_SET) != 0) {
            std::fseek(file_, 0, SEEK_END);
        }
        position_ = std::ftell(file_);
    }
    end_met_ = false;
    read_failed_ = false;
}

void ImageFile::ReadThrough(long long offset) {
    // The bytes a forward seek passes are read all the same, so that the digest still covers
    // the whole file.
    if (std::fseek(file_, static_cast<long>(hashed_bytes_), SEEK_SET) != 0) {
        return;
    }
    position_ = hashed_bytes_;
    while (position_ < offset && ReadDiskByte() >= 0) {
    }
}

std::optional<FileDigest> ImageFile::Digest() const {
    if (source_ == Source::kMemory && !load_failed_) {
        return FileDigest{static_cast<long long>(bytes_.size()), sha256_};
    }
    if (source_ == Source::kDisk && hashed_to_end_) {
        return FileDigest{hashed_bytes_, hash_.Hex()};
    }
    return std::nullopt;
}

void ImageFile::HoldSize(long long size_bytes) {
    held_size_ = size_bytes;
}

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
