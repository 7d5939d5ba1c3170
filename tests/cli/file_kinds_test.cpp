// vantor-cli on files that are not Orrim images and on paths that are not readable files: each
// is refused before the port is opened, with the reader's own status, and named for what it is,
// or with the path and the system's reason; a sound image that merely looks like another kind
// of file still goes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {

namespace {

// The detail of the run's result event.
std::string ResultDetail(const std::vector<JsonObject>& events) {
    const auto results = EventsOfKind(events, "result");
    return results.empty() ? std::string() : StringField(results.back(), "detail");
}

using image_writer::Bytes;
using image_writer::ImageBuilder;

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Intel HEX data records of 16 bytes each, `count` of them, CR LF ended.
std::string IntelHexRecords(int count) {
    std::string text;
    for (int record = 0; record < count; ++record) {
        char line[64];
        unsigned sum = 0x10 + ((record * 16) >> 8) + ((record * 16) & 0xFF);
        std::string data;
        for (int i = 0; i < 16; ++i) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", (record + i) & 0xFF);
            data += digits;
            sum += static_cast<unsigned>((record + i) & 0xFF);
        }
        std::snprintf(line, sizeof line, ":10%04X00%s%02X\r\n", record * 16, data.c_str(),
                      (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    return text;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string FromHex(const std::string& digits) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < digits.size(); at += 2) {
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

// A ZIP archive holding the empty file "a.txt", stored, and gzip's output for no input.
const std::string kZip = FromHex(
    "504b03040a00000000000000000000000000000000000000000005000000612e747874504b010214000a0000000000"
    "00000000000000000000000000000000050000000000000000000000000000000000612e747874504b050600000000"
    "0100010033000000230000000000");
const std::string kGzip = FromHex("1f8b080000000000000303000000000000000000");

// A plain image for revision 0 made of Intel HEX records up to its packets: its header is the
// text ":1" of the first record, a data offset of 0x3A31.
std::string ImageThatLooksLikeIntelHex() {
    const int data_offset = 0x3A31;
    std::string bytes = IntelHexRecords(400);
    bytes.resize(data_offset, '\n');
    const Bytes letters{'W', 'R', 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    return bytes + Text(image_writer::PacketBytes(letters)) +
           Text(image_writer::PacketBytes(letters));
}

struct KindCase {
    const char* name;
    std::string bytes;
    const char* drive;  // the simulated drive for the download
    int status;         // the reader's status, as it was before the file was named
    const char* named;  // "" for a file that is named nothing else
};

class FileKind : public testing::TestWithParam<KindCase> {};

// Catches a foreign file read as an image with no word of what it is, and an image refused for
// what its first bytes look like.
TEST_P(FileKind, ImageInfoAndDownloadNameWhatTheFileIs) {
    const KindCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.Write("file.orb", c.bytes);
    const std::string said = std::string(c.named).empty()
                                 ? std::string()
                                 : path + ": this is " + c.named + ", not an Orrim image";

    const CliRun info = RunCli({"image-info", path});
    EXPECT_EQ(info.status, c.status) << info.out << info.err;
    if (said.empty()) {
        EXPECT_EQ(info.err.find("not an Orrim image"), std::string::npos) << info.err;
    } else {
        EXPECT_NE(info.err.find("vantor-cli: " + said + "\n"), std::string::npos) << info.err;
        EXPECT_NE(info.out.find(std::string("verdict: would not download whole: this is ") +
                                c.named + ", not an Orrim image\n"),
                  std::string::npos)
            << info.out;
    }

    const CliRun run =
        RunCli({"download", path, "--port", c.drive, "--skip-seeking", "--virtual-time", "--json"});
    EXPECT_EQ(run.status, c.status) << run.err;
    const auto events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    const std::string detail = ResultDetail(events);
    bool packet_sent = false;
    for (const JsonObject& event : events) {
        packet_sent = packet_sent || StringField(event, "text").rfind("Downloading packet", 0) == 0;
    }
    if (said.empty()) {
        EXPECT_EQ(detail.find("not an Orrim image"), std::string::npos) << detail;
        EXPECT_EQ(packet_sent, c.status == 0);
    } else {
        // The reader's own text stays beside the name of the kind.
        EXPECT_EQ(detail.rfind(said + " (Error: ", 0), 0u) << detail;
        EXPECT_NE(run.err.find("vantor-cli: " + said), std::string::npos) << run.err;
        // The result's meaning names the kind, not a cut image.
        const std::string kind = said.substr(said.find(": ") + 2);
        EXPECT_EQ(StringField(EventsOfKind(events, "summary").back(), "meaning"), kind);
        EXPECT_FALSE(packet_sent);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileKind,
    testing::Values(
        KindCase{"IntelHex", IntelHexRecords(3) + ":00000001FF\r\n", "sim", 106,
                 "an Intel HEX file"},
        KindCase{"SRecord",
                 "S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\nS9030000FC\n",
                 "sim", 106, "a Motorola S-record file"},
        KindCase{"Elf", FileBytes("/bin/true"), "sim",
                 FileBytes("/bin/true").size() >= 0x7F45 + 2 ? 102 : 106,
                 "an ELF program or object file"},
        KindCase{"Gzip", kGzip, "sim", 106, "a gzip-compressed file"},
        KindCase{"Zip", kZip, "sim", 106, "a ZIP archive"},
        KindCase{"Text", "Release notes\n\nThe new firmware goes on every drive.\n", "sim", 106,
                 "a text file"},
        KindCase{"SoundKdxImage", Text(ImageBuilder::Kdx(2).FillerPackets(3, 64).Build()), "sim", 0,
                 ""},
        KindCase{"SoundPlainImageThatLooksLikeIntelHex", ImageThatLooksLikeIntelHex(),
                 "sim:ident=0x0083", 0, ""},
        // Its first packet is intact: a damaged image, not another kind of file.
        KindCase{"DamagedImageThatLooksLikeIntelHex",
                 ImageThatLooksLikeIntelHex() +
                     Text(image_writer::BrokenPacket({'W', 'R', 'x'},
                                                     image_writer::PacketFault::BadChecksum)),
                 "sim:ident=0x0083", 105, ""}),
    [](const testing::TestParamInfo<KindCase>& param_info) { return param_info.param.name; });

struct ProblemCase {
    const char* name;
    std::string (*make)(const TempDir& dir);  // makes the path
    const char* reason;
};

class FileProblem : public testing::TestWithParam<ProblemCase> {};

// Catches "Unable to open file" with no path and no reason, for an image and a files list alike.
TEST_P(FileProblem, NamesThePathAndTheReason) {
    const ProblemCase& c = GetParam();
    TempDir dir;
    const std::string path = c.make(dir);
    if (path.empty()) {
        GTEST_SKIP() << "running as root, whom a file's permissions do not keep from reading it";
    }
    const std::string said = path + ": cannot be opened: " + c.reason;

    const CliRun info = RunCli({"image-info", path});
    EXPECT_EQ(info.status, 102);
    EXPECT_EQ(info.err, "vantor-cli: " + said + "\n");

    const CliRun image =
        RunCli({"download", path, "--port", "sim", "--skip-seeking", "--virtual-time", "--json"});
    EXPECT_EQ(image.status, 102);
    const auto events = ParseJsonLines(image.out);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(ResultDetail(events), said);
    EXPECT_NE(image.err.find("vantor-cli: " + said + "\n"), std::string::npos) << image.err;

    // The same path as a files list, and as the image of a list's second line.
    const CliRun list = RunCli(
        {"download", "--files-list", path, "--port", "sim", "--skip-seeking", "--virtual-time"});
    EXPECT_EQ(list.status, 4);
    EXPECT_NE(list.out.find("Failed to open files list"), std::string::npos);
    EXPECT_NE(list.err.find("vantor-cli: " + said + "\n"), std::string::npos) << list.err;
    const std::string good =
        dir.Write("good.orb", ImageBuilder::Kdx(2).FillerPackets(1, 8).Build());
    const std::string names =
        dir.Write("list.txt", "good.orb    " + good + "\r\nbad.orb    " + path + "\r\n");
    const CliRun line = RunCli(
        {"download", "--files-list", names, "--port", "sim", "--skip-seeking", "--virtual-time"});
    EXPECT_EQ(line.status, 102);
    // The line is named by its number and its text as written, before what is wrong with it.
    EXPECT_NE(line.err.find("vantor-cli: files list \"" + names + "\" line 2 \"bad.orb    " + path +
                            "\": " + said + "\n"),
              std::string::npos)
        << line.err;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FileProblem,
    testing::Values(ProblemCase{"Missing",
                                [](const TempDir& dir) { return dir.Path("missing.orb"); },
                                "No such file or directory"},
                    ProblemCase{"Folder",
                                [](const TempDir& dir) {
                                    const std::string path = dir.Path("folder.orb");
                                    ::mkdir(path.c_str(), 0700);
                                    return path;
                                },
                                "it is a folder, not a file"},
                    ProblemCase{"NamedPipe",
                                [](const TempDir& dir) {
                                    const std::string path = dir.Path("pipe.orb");
                                    ::mkfifo(path.c_str(), 0600);
                                    return path;
                                },
                                "it is a named pipe (FIFO), not a file"},
                    ProblemCase{"Unreadable",
                                [](const TempDir& dir) {
                                    const std::string path =
                                        dir.Write("locked.orb", std::string("\xA5\x5A"));
                                    ::chmod(path.c_str(), 0);
                                    return ::geteuid() == 0 ? std::string() : path;
                                },
                                "Permission denied"}),
    [](const testing::TestParamInfo<ProblemCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace vantor::test
