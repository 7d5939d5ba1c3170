#include "fuzz/fuzz_entries.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <vector>

#include "image/file_kind.h"
#include "image/files_list.h"
#include "image/files_list_io.h"
#include "image/image_reader.h"
#include "platform/window_link.h"

namespace vantor::fuzz {

namespace {

constexpr int kDriveRevisions = 16;
constexpr std::size_t kMessageBufferChars = 256;
// Longer than the 19 characters the header messages show.
const std::string kLongLabel = "a-rather-long-image-label.orb";

// Watches what the reader shows: every box and status text must be one the reader owns.
class CheckingWindowLink final : public platform::WindowLink {
  public:
    void SetText(platform::Display display, const std::string& text) override {
        static const std::set<std::string> kPacketTexts = {
            "Error: read as the BOP word.",
            "   Error: A packet exceeds the maximum packet size",
            "Error:  Packet checksum. ",
            "Error: Premature end-of-file encountered",
        };
        if (display != platform::Display::StatusLine || kPacketTexts.count(text) == 0) {
            Fail("unexpected status text: " + text);
        }
    }
    std::string GetText(platform::Display) override { return kLongLabel; }
    void SetProgressRange(int, int) override { Fail("the reader set the progress range"); }
    void SetProgressPos(int) override { Fail("the reader set the progress position"); }
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override {
        if (caption != "Orrim file error" || icon != platform::MessageIcon::Stop) {
            Fail("unexpected message box caption or icon");
        }
        if (text.size() >= kMessageBufferChars) {
            Fail("message box text longer than its buffer");
        }
        if (text.find(kLongLabel.substr(0, 20)) != std::string::npos) {
            Fail("message box shows more than 19 characters of the label");
        }
        ++boxes;
    }
    void Post(int, int) override { Fail("the reader posted a message"); }
    void PostQuit() override { Fail("the reader posted quit"); }

    void Fail(const std::string& what) {
        if (problem.empty()) {
            problem = what;
        }
    }

    std::string problem;
    int boxes = 0;
};

// The image as a read-only memory stream; a copy, so that a read past its end is caught by
// the address sanitizer rather than landing in the fuzzer's own buffer.
class MemoryImage {
  public:
    MemoryImage(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {
        // A memory stream needs at least one byte of buffer; an empty image gets a buffer of
        // one byte and a size of 0.
        bytes_.push_back(0);
        stream_ = ::fmemopen(bytes_.data(), size, "rb");
    }
    std::FILE* Release() {
        std::FILE* stream = stream_;
        stream_ = nullptr;
        return stream;
    }
    ~MemoryImage() {
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
    }
    MemoryImage(const MemoryImage&) = delete;
    MemoryImage& operator=(const MemoryImage&) = delete;

  private:
    std::vector<std::uint8_t> bytes_;
    std::FILE* stream_ = nullptr;
};

std::string CheckPacket(const Packet& packet) {
    if (packet.Bop != kBopWord || packet.Length > kMaxPacketLength) {
        return "a packet with a bad BOP word or length was passed as ready";
    }
    if (packet.ElementCount != packet.Length + 3) {
        return "element count is not the length plus 3";
    }
    unsigned sum = (packet.Length >> 8) + (packet.Length & 0xFFu);
    for (int index = 0; index < packet.Length; ++index) {
        if (packet.Payload[index] > 0xFF) {
            return "a payload element holds more than a byte";
        }
        sum += packet.Payload[index];
    }
    if (static_cast<std::uint16_t>(sum) != packet.Checksum) {
        return "a packet with a wrong checksum was passed as ready";
    }
    return {};
}

std::string ReadAllPackets(ImageFile& file, const ImageHeader& header, std::size_t size,
                           Packet& packet) {
    file.Rewind();
    file.SeekFromStart(header.DataOffset);
    // Every packet takes at least six bytes, so a reader that goes on longer is looping.
    const std::size_t packet_limit = size / 6 + 1;
    for (std::size_t count = 0; count <= packet_limit; ++count) {
        const PacketResult result = ReadPacket(file, packet);
        if (result == PacketResult::kNoMorePackets) {
            return {};
        }
        if (result != PacketResult::kReady) {
            const bool known =
                result == PacketResult::kBadBopWord || result == PacketResult::kTooLong ||
                result == PacketResult::kChecksumMismatch || result == PacketResult::kPrematureEnd;
            return known ? std::string()
                         : "unknown packet code " + std::to_string(DesignCode(result));
        }
        if (std::string problem = CheckPacket(packet); !problem.empty()) {
            return problem;
        }
    }
    return "more packets than the file can hold";
}

std::string CheckOneRevision(const std::uint8_t* data, std::size_t size, int drive_revision,
                             Packet& packet, bool& packets_read) {
    MemoryImage memory(data, size);
    ImageFile file;
    if (!file.Adopt(memory.Release())) {
        return {};  // the memory stream could not be made: nothing to check
    }
    ImageHeader header;
    const HeaderResult result = CheckHeader(file, drive_revision, kLongLabel, header);
    const bool known =
        result == HeaderResult::kAccepted || result == HeaderResult::kRevisionMismatch ||
        result == HeaderResult::kNotOrrimMagic || result == HeaderResult::kFormatTooNew ||
        result == HeaderResult::kNotKdxFamily;
    if (!known) {
        return "unknown header code " + std::to_string(DesignCode(result));
    }
    if (result != HeaderResult::kAccepted || packets_read) {
        return {};
    }
    packets_read = true;
    return ReadAllPackets(file, header, size, packet);
}

// Reads the packets once more as the download sends them: from the start of the file to the
// data offset, then packet by packet.
void ReadAsSent(ImageFile& file, const ImageHeader& header, Packet& packet) {
    file.Rewind();
    if (header.DataOffset >= 0) {
        file.SeekFromStart(header.DataOffset);
    }
    while (ReadPacket(file, packet) == PacketResult::kReady) {
    }
}

// The same bytes twice: as a stream, the way a large file is read from the disk, and held in
// memory, the way the download holds an image; `ready` is false when the stream could not be made.
struct BothSources {
    BothSources(const std::uint8_t* data, std::size_t size) : memory(data, size) {
        ready = stream.Adopt(memory.Release());
        held.AdoptBytes(std::string(data, data + size));
    }

    MemoryImage memory;  // holds the bytes the stream reads: it outlives the stream
    ImageFile stream;
    ImageFile held;
    bool ready = false;
};

// The download reads an image from memory, or a large one from the disk, and holds the bytes it
// sends to the digest of those it checked: both sources must judge an image alike, and a stream
// read whole must give the digest of its bytes, at the check and again as it is sent.
std::string CheckSourcesAgree(const std::uint8_t* data, std::size_t size, Packet& packet) {
    BothSources sources(data, size);
    if (!sources.ready) {
        return {};
    }
    ImageFile& stream = sources.stream;
    ImageFile& held = sources.held;
    ImageHeader from_stream;
    ImageHeader from_memory;
    const HeaderResult header = CheckHeader(stream, kRevisionNotYetKnown, kLongLabel, from_stream);
    if (header != CheckHeader(held, kRevisionNotYetKnown, kLongLabel, from_memory)) {
        return "the memory and the stream source judge the header differently";
    }
    if (header != HeaderResult::kAccepted) {
        return {};
    }
    int stream_packets = 0;
    int memory_packets = 0;
    const PacketResult whole = CheckWholeImage(stream, from_stream, packet, stream_packets);
    if (whole != CheckWholeImage(held, from_memory, packet, memory_packets) ||
        stream_packets != memory_packets) {
        return "the memory and the stream source judge the packets differently";
    }
    if (whole != PacketResult::kReady) {
        return {};
    }
    const std::optional<FileDigest> expected = held.Digest();
    const std::optional<FileDigest> checked = stream.Digest();
    ReadAsSent(stream, from_stream, packet);
    const std::optional<FileDigest> sent = stream.Digest();
    for (const auto& digest : {checked, sent}) {
        if (!expected || !digest || digest->sha256 != expected->sha256 ||
            digest->size_bytes != static_cast<long long>(size)) {
            return "a stream read whole does not give the digest of its bytes";
        }
    }
    return {};
}

// A file is named another kind than an Orrim image only to say what a refused file is; that
// must never happen to one whose first packet reads intact where its header puts it, and both
// sources must name a file alike.
std::string CheckKindNamedAlike(const std::uint8_t* data, std::size_t size, Packet& packet) {
    BothSources sources(data, size);
    if (!sources.ready) {
        return {};
    }
    ImageFile& stream = sources.stream;
    ImageFile& held = sources.held;
    const ForeignKind kind = KindOfRefusedImage(held);
    if (kind != KindOfRefusedImage(stream)) {
        return "the memory and the stream source name the file differently";
    }
    if (kind == ForeignKind::kNone) {
        return {};
    }
    ImageHeader header;
    held.Rewind();
    if (CheckHeader(held, kRevisionNotYetKnown, kLongLabel, header) != HeaderResult::kAccepted) {
        return {};
    }
    held.Rewind();
    if (header.DataOffset >= 0) {
        held.SeekFromStart(header.DataOffset);
    }
    if (ReadPacket(held, packet) == PacketResult::kReady) {
        return "an image with an intact first packet is named " + KindName(kind);
    }
    return {};
}

// Appends each line of the file at `path` to `lines`, as the job reads them; false when the
// file cannot be opened or a read fails.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    FilesListFile list;
    if (!list.OpenForJob(path)) {
        return false;
    }
    std::string line;
    while (list.ReadLine(line)) {
        lines.push_back(line);
    }
    const bool read_whole = !list.ReadFailed();
    list.Close();
    return read_whole;
}

// One temporary file per process, rewritten for every input and removed at exit.
class ScratchFile {
  public:
    ScratchFile() {
        const char* folder = std::getenv("TMPDIR");
        std::string name = std::string(folder != nullptr && *folder ? folder : "/tmp") +
                           "/vantor-fuzz-flist-XXXXXX";
        const int fd = ::mkstemp(name.data());
        if (fd >= 0) {
            ::close(fd);
            path_ = name;
        }
    }
    ~ScratchFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string CheckSplits(const std::string& line) {
    const FilesListEntry job = SplitJobLine(line);
    if (const auto entry = SplitAtSeparator(line)) {
        if (entry->Name + std::string(kFilesListSeparator) + entry->Path != line ||
            entry->Name.find(kFilesListSeparator) != std::string::npos) {
            return "the split does not give the line back at its first separator";
        }
        if (job.Name != entry->Name || job.Path != entry->Path) {
            return "the job's split differs from the plain split";
        }
        return {};
    }
    const std::string expected = line.size() > 3 ? line.substr(3) : std::string();
    if (!job.Name.empty() || job.Path != expected) {
        return "a line without separator is not split as an empty name and the line from 3";
    }
    return {};
}

std::string CheckLines(const std::uint8_t* data, std::size_t size,
                       const std::vector<std::string>& lines) {
    std::size_t line_ends = 0;
    for (std::size_t index = 0; index < size; ++index) {
        line_ends += data[index] == '\n' ? 1 : 0;
    }
    const std::size_t expected = line_ends + (size > 0 && data[size - 1] != '\n' ? 1 : 0);
    if (lines.size() != expected) {
        return "read " + std::to_string(lines.size()) + " lines, expected " +
               std::to_string(expected);
    }
    for (const std::string& line : lines) {
        if (line.find('\n') != std::string::npos) {
            return "a line holds its line end";
        }
        if (std::string problem = CheckSplits(line); !problem.empty()) {
            return problem;
        }
    }
    return {};
}

bool WriteScratch(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

}  // namespace

std::string CheckImageReaderInput(const std::uint8_t* data, std::size_t size) {
    CheckingWindowLink window;
    platform::ScopedWindowLink scoped(window);
    // The packet area is large; one per process, reused as the download procedure does.
    static Packet packet;
    bool packets_read = false;
    for (int drive_revision = 0; drive_revision < kDriveRevisions; ++drive_revision) {
        std::string problem = CheckOneRevision(data, size, drive_revision, packet, packets_read);
        if (problem.empty()) {
            problem = window.problem;
        }
        if (!problem.empty()) {
            return problem + " (drive revision " + std::to_string(drive_revision) + ")";
        }
    }
    if (std::string problem = CheckSourcesAgree(data, size, packet); !problem.empty()) {
        return problem;
    }
    if (std::string problem = CheckKindNamedAlike(data, size, packet); !problem.empty()) {
        return problem;
    }
    return window.problem;
}

std::string CheckFilesListInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile scratch;
    const std::string& path = scratch.path();
    if (path.empty() || !WriteScratch(path, data, size)) {
        return {};  // no scratch file on this machine: nothing to check
    }
    std::vector<std::string> lines;
    if (!ReadLines(path, lines)) {
        return "the files list could not be opened or read";
    }
    // A second open while the first is held must fail, and the close must release the lock.
    FilesListFile first;
    FilesListFile second;
    if (!first.OpenForJob(path) || second.OpenForJob(path)) {
        return "the files list lock does not keep out a second opener";
    }
    return CheckLines(data, size, lines);
}

std::string CheckDialogFilesListInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = SplitFileLines(bytes);
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find('\n') != std::string::npos) {
            return "a line of the dialog's split holds a line end";
        }
        joined += lines[i] + (i + 1 < lines.size() ? "\n" : "");
    }
    std::string plain = bytes;
    for (std::size_t at = 0; (at = plain.find("\r\n", at)) != std::string::npos;) {
        plain.erase(at, 1);
    }
    if (!plain.empty() && plain.back() == '\n') {
        plain.pop_back();
    }
    if (joined != plain) {
        return "the dialog's line split does not give the bytes back";
    }
    static const ScratchFile scratch;
    const std::string& path = scratch.path();
    if (path.empty() || !WriteScratch(path, data, size)) {
        return {};  // no scratch file on this machine: nothing more to check
    }
    const LoadedFilesList loaded = LoadDialogFilesList(path);
    if (!loaded.opened) {
        return "the dialog could not open the files list";
    }
    if (loaded.entries.size() + static_cast<std::size_t>(loaded.bad_lines) != lines.size()) {
        return "a line of the files list is neither a row nor counted bad";
    }
    if (SaveDialogFilesList(path, loaded.entries)) {
        return {};  // the scratch folder took no new file: nothing more to check
    }
    const LoadedFilesList again = LoadDialogFilesList(path);
    if (again.bad_lines != 0 || again.entries.size() != loaded.entries.size()) {
        return "the rows the dialog saved do not load back as the same rows";
    }
    for (std::size_t i = 0; i < again.entries.size(); ++i) {
        if (again.entries[i].Name != loaded.entries[i].Name ||
            again.entries[i].Path != loaded.entries[i].Path) {
            return "the rows the dialog saved do not load back as the same rows";
        }
    }
    return {};
}

}  // namespace vantor::fuzz
