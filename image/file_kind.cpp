#include "image/file_kind.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace vantor {

namespace {

constexpr std::string_view kElfMagic("\x7f\x45\x4c\x46", 4);  // 0x7F "ELF"
constexpr std::string_view kZipMagic("PK\x03\x04", 4);
constexpr std::string_view kEmptyZipMagic("PK\x05\x06", 4);
constexpr std::string_view kGzipMagic("\x1f\x8b\x08", 3);  // with deflate, its only method
// Text may hold a few control characters (an escape sequence, a form feed), no more.
constexpr std::size_t kTextBytesPerControl = 50;
constexpr int kIntelHexFrameBytes = 5;  // length, address (two), type, checksum
constexpr int kSRecordMinCount = 3;     // a 16-bit address and the checksum

bool StartsWith(std::string_view bytes, std::string_view magic) {
    return bytes.substr(0, magic.size()) == magic;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// An even number of hexadecimal digits, the first two of them giving `first_byte`.
bool HexBytes(std::string_view digits, int& first_byte) {
    if (digits.size() < 2 || digits.size() % 2 != 0) {
        return false;
    }
    for (const char c : digits) {
        if (HexValue(c) < 0) {
            return false;
        }
    }
    first_byte = HexValue(digits[0]) * 16 + HexValue(digits[1]);
    return true;
}

// ":LLAAAATT...CC", LL counting the data bytes.
bool IsIntelHexRecord(std::string_view line) {
    int length = 0;
    return line.size() > 1 && line[0] == ':' && HexBytes(line.substr(1), length) &&
           line.size() - 1 == static_cast<std::size_t>(2 * (length + kIntelHexFrameBytes));
}

// "StCC...", CC counting the address, data and checksum bytes.
bool IsSRecord(std::string_view line) {
    int count = 0;
    return line.size() > 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' &&
           HexBytes(line.substr(2), count) && count >= kSRecordMinCount &&
           line.size() - 2 == static_cast<std::size_t>(2 * (count + 1));
}

// Whether every line of `text` that the sample holds whole is a record (blank lines aside), and
// there is at least one.
bool AllRecords(std::string_view text, bool whole, bool (*is_record)(std::string_view)) {
    int records = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos && !whole) {
            break;  // the sample cut this line
        }
        end = end == std::string_view::npos ? text.size() : end;
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        if (!line.empty() && !is_record(line)) {
            return false;
        }
        records += line.empty() ? 0 : 1;
        start = end + 1;
    }
    return records > 0;
}

// The number of continuation bytes after a UTF-8 lead byte, or -1 for a byte no character
// begins with.
int Utf8Continuations(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 1;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 2;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 3;
    }
    return -1;
}

bool LooksLikeText(std::string_view bytes, bool whole) {
    std::size_t controls = 0;
    bool line_end = false;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        const auto c = static_cast<unsigned char>(bytes[at]);
        if (c == '\n' || c == '\r') {
            line_end = true;
        } else if (c == 0) {
            return false;
        } else if ((c < 0x20 && c != '\t' && c != '\f' && c != '\v') || c == 0x7F) {
            ++controls;
        } else if (c >= 0x80) {
            const int continuations = Utf8Continuations(c);
            if (continuations < 0) {
                return false;
            }
            for (int k = 1; k <= continuations && at + k < bytes.size(); ++k) {
                if ((static_cast<unsigned char>(bytes[at + k]) & 0xC0) != 0x80) {
                    return false;
                }
            }
            // A character cut by the end of the sample may go on after it; one cut by the end of
            // the file is no UTF-8.
            if (whole && at + continuations >= bytes.size()) {
                return false;
            }
            at += static_cast<std::size_t>(continuations);
        }
    }
    // A few bytes with no line end may be anything; text has lines.
    return line_end && controls * kTextBytesPerControl <= bytes.size();
}

// Where the reader looks for the first packet: the header's data offset, the start of the file
// for a negative one.
long DataOffsetOf(ImageFile& file) {
    file.Rewind();
    const std::uint16_t first_word = ReadFileWord(file);
    std::uint16_t offset_word = first_word;
    if (first_word == 0) {
        // A KDX header: packet count, magic, format version, reserved, family, revision, offset.
        for (int word = 1; word < 8; ++word) {
            offset_word = ReadFileWord(file);
        }
    }
    const auto offset = static_cast<std::int16_t>(offset_word);
    return offset < 0 ? 0 : offset;
}

}  // namespace

ForeignKind KindOfBytes(std::string_view start, bool whole) {
    if (StartsWith(start, kElfMagic)) {
        return ForeignKind::kElf;
    }
    if (StartsWith(start, kZipMagic) || StartsWith(start, kEmptyZipMagic)) {
        return ForeignKind::kZip;
    }
    if (StartsWith(start, kGzipMagic)) {
        return ForeignKind::kGzip;
    }
    if (!LooksLikeText(start, whole)) {
        return ForeignKind::kNone;
    }
    if (AllRecords(start, whole, IsIntelHexRecord)) {
        return ForeignKind::kIntelHex;
    }
    if (AllRecords(start, whole, IsSRecord)) {
        return ForeignKind::kSRecord;
    }
    return ForeignKind::kText;
}

ForeignKind KindOfRefusedImage(ImageFile& file) {
    const long offset = DataOffsetOf(file);
    file.Rewind();
    file.SeekFromStart(offset);
    if (ReadFileWord(file) == kBopWord) {
        return ForeignKind::kNone;
    }
    file.Rewind();
    std::string start;
    int byte = 0;
    while (start.size() <= kKindSampleBytes && (byte = file.ReadByte()) >= 0) {
        start.push_back(static_cast<char>(byte));
    }
    const bool whole = start.size() <= kKindSampleBytes && !file.ReadFailed();
    if (!whole) {
        start.resize(std::min(start.size(), kKindSampleBytes));
    }
    return KindOfBytes(start, whole);
}

ForeignKind KindOfRefusedImage(const std::string& path) {
    ImageFile file;
    // Read from the disk: only the first bytes are wanted.
    if (!file.Open(path, 0)) {
        return ForeignKind::kNone;
    }
    return KindOfRefusedImage(file);
}

std::string KindName(ForeignKind kind) {
    switch (kind) {
        case ForeignKind::kIntelHex:
            return "an Intel HEX file";
        case ForeignKind::kSRecord:
            return "a Motorola S-record file";
        case ForeignKind::kElf:
            return "an ELF program or object file";
        case ForeignKind::kZip:
            return "a ZIP archive";
        case ForeignKind::kGzip:
            return "a gzip-compressed file";
        case ForeignKind::kText:
            return "a text file";
        case ForeignKind::kNone:
            break;
    }
    return "";
}

std::string NotAnImageText(ForeignKind kind) {
    if (kind == ForeignKind::kNone) {
        return "";
    }
    return "this is " + KindName(kind) + ", not an Orrim image";
}

std::string OpenProblem(const std::string& path, int open_error) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error) {
        return error.message();
    }
    switch (status.type()) {
        case fs::file_type::not_found:
            return std::generic_category().message(ENOENT);
        case fs::file_type::directory:
            return "it is a folder, not a file";
        case fs::file_type::fifo:
            return "it is a named pipe (FIFO), not a file";
        case fs::file_type::character:
        case fs::file_type::block:
            return "it is a device, not a file";
        case fs::file_type::socket:
            return "it is a socket, not a file";
        case fs::file_type::regular:
            break;
        default:
            return "it is not a regular file";
    }
    if (open_error == EWOULDBLOCK) {
        return "another program has it open and locked";
    }
    if (open_error != 0) {
        return std::generic_category().message(open_error);
    }
    return "the system refused to open it";
}

}  // namespace vantor
