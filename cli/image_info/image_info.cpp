#include "cli/image_info/image_info.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "cli/console/command_line.h"
#include "cli/console/status_keeper.h"
#include "image/cut_image.h"
#include "image/file_kind.h"
#include "image/image_reader.h"
#include "job/download_image.h"
#include "platform/window_link.h"
#include "records/exit_status.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "image-info";
constexpr int kHighestRevision = 15;
constexpr int kBitsPerByte = 10;      // start bit, 8 data bits, stop bit
constexpr int kPacketFrameBytes = 6;  // BOP word, length word, checksum word

// The help around the options' table.
constexpr const char* kHelpHead =
    "usage: vantor-cli image-info IMAGE [--revision ID]\n"
    "\n"
    "Shows what an Orrim image holds: its flavour and header fields, the declared and the\n"
    "actual packet count, each packet's offset, length, first word and checksum verdict,\n"
    "the payload total, the hardware revisions that accept it, and the time its packets\n"
    "take on the line. No drive is needed.\n"
    "\n"
    "options:\n";
constexpr const char* kHelpTail =
    "\n"
    "exit status: 0 when the file would download whole (to a drive of revision ID, when\n"
    "given); otherwise the status vantor-cli download gives for the same fault: 102 the file\n"
    "cannot be opened or a BOP word is wrong, 104 a packet is too long, 105 checksum error,\n"
    "106 no accepted revision or a premature end, 107 to 109 not an Orrim or not a KDX Orrim\n"
    "file; 64 usage error. A file that ends inside a packet is named so on stderr, with the\n"
    "status the download gives it (105, 106 or 102, by where it ends). A broken packet is\n"
    "judged before the revision, as the download reads every packet before the port opens.\n";
constexpr std::size_t kHelpColumn = 18;

constexpr const char* kNotOrrimText = "Error: The input file is not recognized as an Orrim file.";
constexpr const char* kNotKdxText = "Error: The input file is not recognized as a KDX Orrim file.";

struct HeaderFields {
    bool kdx = false;
    std::uint16_t first_word = 0;
    std::uint16_t packet_count = 0;
    std::uint16_t magic = 0;
    std::int16_t format_version = 0;
    std::uint16_t reserved = 0;
    std::uint16_t family = 0;
    std::int16_t revision = 0;
    std::int16_t data_offset = 0;
};

// The header words in file order, as the reader reads them.
HeaderFields ReadHeaderFields(ImageFile& file) {
    HeaderFields header;
    header.first_word = ReadFileWord(file);
    header.packet_count = ReadFileWord(file);
    header.kdx = header.first_word == 0;
    if (!header.kdx) {
        header.data_offset = static_cast<std::int16_t>(header.first_word);
        return header;
    }
    header.magic = ReadFileWord(file);
    header.format_version = static_cast<std::int16_t>(ReadFileWord(file));
    header.reserved = ReadFileWord(file);
    header.family = ReadFileWord(file);
    header.revision = static_cast<std::int16_t>(ReadFileWord(file));
    header.data_offset = static_cast<std::int16_t>(ReadFileWord(file));
    return header;
}

// The header's verdict in the reader's order of checks (the revision is judged apart).
struct Verdict {
    HeaderResult result = HeaderResult::kAccepted;
    std::string text;  // what the header check would show; empty for kAccepted
};

Verdict HeaderVerdict(const HeaderFields& header) {
    if (!header.kdx) {
        return {};
    }
    if (header.magic != kOrrimMagic) {
        return {HeaderResult::kNotOrrimMagic, kNotOrrimText};
    }
    if (header.format_version > kMaxFormatVersion) {
        return {HeaderResult::kFormatTooNew, kNotOrrimText};
    }
    if (header.family != 0) {
        return {HeaderResult::kNotKdxFamily, kNotKdxText};
    }
    return {};
}

std::vector<int> AcceptingRevisions(const HeaderFields& header) {
    std::vector<int> revisions;
    for (int drive = 0; drive <= kHighestRevision; ++drive) {
        const bool accepted = header.kdx ? RevisionCompatible(header.revision, drive) : drive == 0;
        if (accepted) {
            revisions.push_back(drive);
        }
    }
    return revisions;
}

void PrintHeader(const HeaderFields& header) {
    if (!header.kdx) {
        std::printf("flavour: plain Orrim file (for hardware revision 0)\n");
        std::printf("header:\n  data offset: %d\n  packet count (declared): %u\n",
                    header.data_offset, header.packet_count);
        return;
    }
    const auto high = static_cast<char>(header.magic >> 8);
    const auto low = static_cast<char>(header.magic & 0xFF);
    const bool letters = high >= 0x20 && high < 0x7F && low >= 0x20 && low < 0x7F;
    std::printf("flavour: KDX Orrim file\n");
    std::printf("header:\n");
    std::printf("  packet count (declared): %u\n", header.packet_count);
    std::printf("  magic: 0x%04X%s%c%c%s\n", header.magic, letters ? " (" : "",
                letters ? high : ' ', letters ? low : ' ', letters ? ")" : "");
    std::printf("  format version: %d\n", header.format_version);
    std::printf("  reserved: 0x%04X\n", header.reserved);
    std::printf("  family code: %u%s\n", header.family, header.family == 0 ? " (KDX)" : "");
    std::printf("  hardware revision ID: %d\n", header.revision);
    std::printf("  data offset: %d\n", header.data_offset);
}

std::string FirstWordText(const Packet& packet) {
    if (packet.Length < 2) {
        return "-";
    }
    const int high = packet.Payload[0];
    const int low = packet.Payload[1];
    char text[24];
    const bool letters = high >= 0x20 && high < 0x7F && low >= 0x20 && low < 0x7F;
    if (letters) {
        std::snprintf(text, sizeof text, "0x%02X%02X '%c%c'", high, low, high, low);
    } else {
        std::snprintf(text, sizeof text, "0x%02X%02X", high, low);
    }
    return text;
}

// The sum the reader compared with the stored checksum.
std::uint16_t ComputedSum(const Packet& packet) {
    unsigned sum = (packet.Length >> 8) + (packet.Length & 0xFF);
    for (int i = 0; i < packet.Length; ++i) {
        sum += packet.Payload[i];
    }
    return static_cast<std::uint16_t>(sum);
}

struct WalkResult {
    PacketResult result = PacketResult::kNoMorePackets;
    std::string text;  // the reader's text for the result
    int packets = 0;
    long payload_bytes = 0;
    long line_bytes = 0;
};

// Reads every packet as the download would, one line each, up to the first broken one; `cut`
// says where the file ends inside a packet, if it does, so that a packet cut short is not shown
// with a checksum read from beyond the end of the file.
WalkResult WalkPackets(ImageFile& file, const HeaderFields& header,
                       const std::optional<CutPacket>& cut) {
    file.Rewind();
    long offset = 0;
    if (header.data_offset >= 0) {
        file.SeekFromStart(header.data_offset);
        offset = header.data_offset;
    }
    StatusKeeper reader_status;
    platform::ScopedWindowLink scoped(reader_status);
    auto packet = std::make_unique<Packet>();  // too large for the stack of a small thread
    WalkResult result;
    std::printf("packets:\n  %6s %10s %7s %-14s %s\n", "number", "offset", "length", "first word",
                "checksum");
    while ((result.result = ReadPacket(file, *packet)) == PacketResult::kReady) {
        ++result.packets;
        std::printf("  %6d %10ld %7u %-14s ok\n", result.packets, offset, packet->Length,
                    FirstWordText(*packet).c_str());
        result.payload_bytes += packet->Length;
        const long packet_bytes = packet->Length + kPacketFrameBytes;
        result.line_bytes += packet_bytes;
        offset += packet_bytes;
    }
    if (cut && cut->packet == result.packets + 1 && cut->packet_bytes > 0) {
        std::printf("  %6d %10ld %7u %-14s cut short: the file holds %lld of its %lld bytes\n",
                    result.packets + 1, offset, packet->Length, FirstWordText(*packet).c_str(),
                    cut->bytes_held, cut->packet_bytes);
    } else if (result.result == PacketResult::kChecksumMismatch) {
        std::printf("  %6d %10ld %7u %-14s mismatch: stored 0x%04X, computed 0x%04X\n",
                    result.packets + 1, offset, packet->Length, FirstWordText(*packet).c_str(),
                    packet->Checksum, ComputedSum(*packet));
    }
    if (result.result != PacketResult::kNoMorePackets) {
        std::printf("  %6d %10ld %s\n", result.packets + 1, offset, reader_status.status.c_str());
        result.text = reader_status.status;
        return result;
    }
    // What the download checks of the whole file before its first packet: the header's
    // length, the data offset and, for a KDX file, the declared count.
    ImageHeader checked;
    checked.Kdx = header.kdx;
    checked.PacketCount = header.packet_count;
    checked.DataOffset = header.data_offset;
    int packets = 0;
    if (const PacketResult whole = CheckWholeImage(file, checked, *packet, packets);
        whole != PacketResult::kReady) {
        result.result = whole;
        result.text = reader_status.status;
        std::printf("  %s\n", reader_status.status.c_str());
    }
    return result;
}

void PrintRevisions(const std::vector<int>& revisions) {
    std::printf("accepted by hardware revisions:");
    for (int revision : revisions) {
        std::printf(" %d", revision);
    }
    std::printf("%s\n", revisions.empty() ? " none" : "");
}

void PrintLineTimes(long line_bytes) {
    for (int baud : {9600, 19200}) {
        std::printf("time on the line at %5d baud: %.3f s\n", baud,
                    static_cast<double>(line_bytes) * kBitsPerByte / baud);
    }
}

// The revision verdict: kAccepted when the file may go to the drive (or to any drive without
// ID).
HeaderResult RevisionVerdict(const std::vector<int>& revisions, std::optional<int> drive) {
    if (drive) {
        bool accepted = false;
        for (int revision : revisions) {
            accepted = accepted || revision == *drive;
        }
        std::printf("hardware revision %d: %s\n", *drive, accepted ? "accepted" : "refused");
        return accepted ? HeaderResult::kAccepted : HeaderResult::kRevisionMismatch;
    }
    return revisions.empty() ? HeaderResult::kRevisionMismatch : HeaderResult::kAccepted;
}

// Says, when a file refused for its format is another kind of file, what it is ("this is an
// Intel HEX file, not an Orrim image") on stderr; returns that text, or "" when it is no other
// kind.
std::string SayWhatItIs(const std::string& path, ImageFile& file) {
    const std::string text = NotAnImageText(KindOfRefusedImage(file));
    if (!text.empty()) {
        std::fprintf(stderr, "vantor-cli: %s: %s\n", path.c_str(), text.c_str());
    }
    return text;
}

// Says on stderr where the file ends inside a packet; returns the words for its verdict.
std::string SayCutShort(const std::string& path, const CutPacket& cut) {
    std::fprintf(stderr, "vantor-cli: %s: %s\n", path.c_str(), CutPacketText(cut).c_str());
    return "the file is cut short";
}

int Inspect(const std::string& path, std::optional<int> drive) {
    ImageFile file;
    if (!file.Open(path)) {
        std::fprintf(stderr, "vantor-cli: %s: cannot be opened: %s\n", path.c_str(),
                     file.open_problem().c_str());
        return records::ExitStatusForJob(ImageResult::kUnopenable);
    }
    std::printf("file: %s\n", path.c_str());
    const HeaderFields header = ReadHeaderFields(file);
    PrintHeader(header);
    if (const Verdict verdict = HeaderVerdict(header); verdict.result != HeaderResult::kAccepted) {
        std::fprintf(stderr, "vantor-cli: %s\n", verdict.text.c_str());
        const std::string kind = SayWhatItIs(path, file);
        std::printf("verdict: %s%s%s\n", verdict.text.c_str(), kind.empty() ? "" : "; ",
                    kind.c_str());
        return records::ExitStatusForJob(ImageResultOf(verdict.result));
    }
    const std::optional<CutPacket> cut = FindCutPacket(path, header.data_offset);
    const WalkResult walk = WalkPackets(file, header, cut);
    std::printf("packet count: %d found, %u declared%s\n", walk.packets, header.packet_count,
                walk.packets == header.packet_count ? "" : " (only the progress bar uses it)");
    std::printf("payload total: %ld bytes\n", walk.payload_bytes);
    const std::vector<int> revisions = AcceptingRevisions(header);
    PrintRevisions(revisions);
    PrintLineTimes(walk.line_bytes);
    const HeaderResult revision = RevisionVerdict(revisions, drive);
    // In the download's order: every packet is read before the port opens, and the drive's
    // revision is judged only once the drive has told it.
    const JobOutcome outcome =
        walk.result != PacketResult::kNoMorePackets ? JobOutcome(ImageResultOf(walk.result))
        : revision != HeaderResult::kAccepted       ? JobOutcome(ImageResultOf(revision))
                                                    : JobOutcome();
    if (outcome == JobResult::kDone) {
        std::printf("verdict: would download whole\n");
        return records::kExitSuccess;
    }
    // Only a file whose format the reader refused can be cut short or another kind of file: one
    // refused for the drive's revision alone is a sound image.
    const std::string kind = walk.result == PacketResult::kNoMorePackets ? ""
                             : cut                                       ? SayCutShort(path, *cut)
                                                                         : SayWhatItIs(path, file);
    std::printf("verdict: would not download whole%s%s\n", kind.empty() ? "" : ": ", kind.c_str());
    return records::ExitStatusForJob(outcome);
}

void PrintHelp() {
    const std::string help =
        kHelpHead + platform::OptionsHelp(ImageInfoOptions(), kHelpColumn) + kHelpTail;
    std::fputs(help.c_str(), stdout);
}

}  // namespace

int RunImageInfo(const std::vector<std::string>& arguments) {
    ArgumentReader reader(arguments);
    std::string path;
    std::optional<int> revision;
    while (!reader.Done()) {
        const Result<platform::Argument> read = platform::ReadArgument(reader, ImageInfoOptions());
        if (!read) {
            return UsageError(kCommand, read.reason());
        }
        const platform::Argument& argument = *read;
        if (argument.is_option && argument.option == nullptr) {
            return UsageError(kCommand, UnknownOption(argument.text, ImageInfoOptions()));
        }
        if (argument.text == "--help" || argument.text == "-h" || argument.text == "--version") {
            argument.text == "--version" ? PrintVersion() : PrintHelp();
            return records::kExitSuccess;
        }
        if (argument.value) {
            const auto id = ParseWhole(*argument.value, 0, kHighestRevision);
            if (!id) {
                return UsageError(kCommand,
                                  "--revision \"" + *argument.value + "\": an ID is 0 to 15");
            }
            revision = static_cast<int>(*id);
        } else if (path.empty() && !argument.text.empty() && !argument.is_option) {
            path = argument.text;
        } else {
            return UsageError(kCommand,
                              "unexpected argument \"" + argument.text + "\" (one IMAGE)");
        }
    }
    if (path.empty()) {
        return UsageError(kCommand, "missing IMAGE");
    }
    return Inspect(path, revision);
}

platform::OptionTable ImageInfoOptions() {
    static constexpr platform::ProgramOption kOptions[] = {
        {"--revision", "ID",
         "also say whether a drive of hardware revision ID (0 to 15) accepts it"},
        {"--help"},
        {"-h"},
        {"--version"}};
    return kOptions;
}

}  // namespace vantor::cli
