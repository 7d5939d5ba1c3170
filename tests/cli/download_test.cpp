// vantor-cli download end to end: the built program against the simulated drive, on virtual
// time, as a script would run it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "job/job.h"
#include "support/json_lines.h"
#include "support/test_support.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;
using image_writer::PacketFault;

std::string ImageBytes(const ImageBuilder& builder) {
    const auto bytes = builder.Build();
    return std::string(bytes.begin(), bytes.end());
}

// A sound image for the simulated drive's default hardware revision (2).
ImageBuilder GoodImage() {
    return ImageBuilder::Kdx(2).FillerPackets(3, 64);
}

std::vector<std::string> StatusTexts(const std::vector<JsonObject>& events) {
    std::vector<std::string> texts;
    for (const JsonObject& event : events) {
        if (StringField(event, "event") == "status") {
            texts.push_back(StringField(event, "text"));
        }
    }
    return texts;
}

struct StatusCase {
    const char* name;
    std::vector<std::string> options;  // "IMAGE" stands for the image, "LIST" for a list
    std::string image;                 // the image file's bytes; empty: no file is made
    int status;
    const char* last_status;  // the job's last status text
};

class ExitStatus : public testing::TestWithParam<StatusCase> {};

// Each exit status of the table is what a script sees for its cause, and the JSON stream's
// result and last status text agree with it.
TEST_P(ExitStatus, EachOutcomeEndsWithItsStatusAndText) {
    const StatusCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> arguments{"download", "--json"};
    for (const std::string& option : c.options) {
        if (option == "IMAGE") {
            arguments.push_back(c.image.empty() ? dir.Path("missing.orb")
                                                : dir.Write("image.orb", c.image));
        } else if (option == "LIST") {
            arguments.push_back(dir.Path("no-such-list.txt"));
        } else {
            arguments.push_back(option);
        }
    }
    const CliRun run = RunCli(arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    const auto events = ParseJsonLines(run.out);
    ASSERT_FALSE(events.empty());
    const auto results = EventsOfKind(events, "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results.front().at("status"), c.status);
    // The run record closes the stream: a line controller reads the outcome from it alone.
    EXPECT_EQ(StringField(events.back(), "event"), "summary");
    EXPECT_EQ(events.back().at("status"), c.status);
    EXPECT_EQ(StringField(events.back(), "result"), c.status == 0 ? "success" : "failed");
    const auto texts = StatusTexts(events);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), c.last_status);
}

const std::string kGood = ImageBytes(GoodImage());

INSTANTIATE_TEST_SUITE_P(
    Download, ExitStatus,
    testing::Values(
        StatusCase{"Success",
                   {"IMAGE", "--port", "sim", "--virtual-time"},
                   kGood,
                   0,
                   "Download successful"},
        StatusCase{"SpecificAddress",
                   {"IMAGE", "--port", "sim:address=12", "--address", "C", "--virtual-time"},
                   kGood,
                   0,
                   "Download successful"},
        StatusCase{"SeveralDrives",
                   {"IMAGE", "--port", "sim:addresses=3+7", "--virtual-time"},
                   kGood,
                   1,
                   " Error: Detected multiple drives"},
        StatusCase{"ResyncFails",
                   {"IMAGE", "--port", "sim:no-break-answer", "--skip-seeking", "--virtual-time"},
                   kGood,
                   2,
                   "Resync Failure:  Slave did not respond to serial break"},
        StatusCase{"IdentifyFails",
                   {"IMAGE", "--port", "sim:init-ack=0x1234", "--skip-seeking", "--virtual-time"},
                   kGood,
                   3,
                   "Orrim Init Failure:  Incorrect response received."},
        StatusCase{"FilesListMissing",
                   {"--files-list", "LIST", "--port", "sim", "--skip-seeking", "--virtual-time"},
                   "",
                   4,
                   "Failed to open files list"},
        StatusCase{"PortNameUnmapped",
                   {"IMAGE", "--port", "COM0"},
                   kGood,
                   5,
                   "Error : Failed to initialize COM port"},
        StatusCase{"DeviceMissing",
                   {"IMAGE", "--port", "/dev/vantor-no-such-device"},
                   kGood,
                   5,
                   "Error : Failed to initialize COM port"},
        StatusCase{"ImageMissing",
                   {"IMAGE", "--port", "sim", "--skip-seeking", "--virtual-time"},
                   "",
                   102,
                   "ERROR: Download failed."},
        StatusCase{"NeverAcknowledged",
                   {"IMAGE", "--port", "sim:ack-on-send=4", "--skip-seeking", "--virtual-time"},
                   kGood,
                   103,
                   "ERROR: Download failed."},
        StatusCase{"ErrorStatus",
                   {"IMAGE", "--port", "sim:status=0x0001", "--skip-seeking", "--virtual-time"},
                   kGood,
                   104,
                   "ERROR: Download failed."},
        StatusCase{"ChecksumError",
                   {"IMAGE", "--port", "sim", "--skip-seeking", "--virtual-time"},
                   ImageBytes(ImageBuilder::Kdx(2).FillerPackets(1, 64).Broken(
                       image_writer::FillerPayload(64, 0x20000, 2), PacketFault::BadChecksum)),
                   105,
                   "ERROR: Download failed."},
        StatusCase{"RevisionMismatch",
                   {"IMAGE", "--port", "sim", "--skip-seeking", "--virtual-time"},
                   ImageBytes(ImageBuilder::Kdx(1).FillerPackets(1, 64)),
                   106,
                   "ERROR: Download failed."}),
    [](const testing::TestParamInfo<StatusCase>& param_info) { return param_info.param.name; });

// The reference: the same job run in this process, on the same simulated drive, with a window
// link that records every call.
std::vector<std::string> ReferenceStatusTexts(const std::string& sim_options,
                                              const std::string& image_path) {
    SimBench bench(sim_options);
    JobHost host;
    host.Options.PortIndex = 0;
    host.Options.BaudChoice = 0;
    host.Options.ImagePath = image_path;
    host.JobRunning = 1;
    DownloadJob(host);
    return bench.window.StatusTexts();
}

// Catches a front end that drops, reorders or rewrites a status text of the job.
TEST(JsonStream, CarriesEveryStatusTextOfTheJobInOrder) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const CliRun run = RunCli({"download", image, "--port", "sim", "--virtual-time", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto events = ParseJsonLines(run.out);
    EXPECT_EQ(StatusTexts(events), ReferenceStatusTexts("", image));
    const auto texts = StatusTexts(events);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Downloading packet 3"), texts.end());
}

TEST(JsonStream, ReportsTheProgressOfEveryPacketAndTheLabels) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const CliRun run = RunCli({"download", image, "--port", "sim:ident=0x2283", "--skip-seeking",
                               "--virtual-time", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto events = ParseJsonLines(run.out);
    const auto ranges = EventsOfKind(events, "progress-range");
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].at("high"), 3);
    std::vector<int> positions;
    for (const JsonObject& event : EventsOfKind(events, "progress")) {
        positions.push_back(event.at("position").get<int>());
    }
    EXPECT_EQ(positions, (std::vector<int>{0, 1, 2, 3}));
    std::map<std::string, std::string> labels;
    for (const JsonObject& event : EventsOfKind(events, "label")) {
        labels[StringField(event, "display")] = StringField(event, "text");
    }
    EXPECT_EQ(labels["VersionLabel"], VersionText(0x2283));
    EXPECT_EQ(labels["RevisionLabel"], RevisionText(0x2283));
    EXPECT_EQ(EventsOfKind(events, "quit").size(), 1u);
}

// Catches texts written into the stream unescaped: a files list's label may hold any byte.
TEST(JsonStream, EscapesControlCharactersAndBytesThatAreNotUtf8) {
    TempDir dir;
    const std::string label = std::string("la\x01\"b\\e\xff\xc3\xa9l", 11);
    const std::string image =
        dir.Write("image.orb", ImageBytes(ImageBuilder::Kdx(1).FillerPackets(1, 8)));
    const std::string list = dir.Write("list.txt", label + "    " + image + "\r\n");
    const CliRun run = RunCli({"download", "--files-list", list, "--port", "sim", "--skip-seeking",
                               "--virtual-time", "--json"});
    EXPECT_EQ(run.status, 106) << run.err;
    for (const std::string& line : Lines(run.out)) {
        EXPECT_EQ(line.find('\x01'), std::string::npos);
        EXPECT_EQ(line.find('\xff'), std::string::npos);
    }
    // A JSON reader sees the byte 0xFF as the character U+00FF, and every other byte as it was.
    const std::string label_as_read = std::string("la\x01\"b\\e\xc3\xbf\xc3\xa9l", 12);
    const auto events = ParseJsonLines(run.out);
    const auto labels = EventsOfKind(events, "label");
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(StringField(labels.back(), "text"), label_as_read);
    const auto boxes = EventsOfKind(events, "message-box");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(StringField(boxes[0], "text").find(label_as_read), std::string::npos);
    EXPECT_EQ(StringField(boxes[0], "caption"), "Orrim file error");
}

TEST(Download, PlainOutputWritesEachStatusTextOnALineOfItsOwn) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const CliRun run = RunCli({"download", image, "--port", "sim", "--virtual-time"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected = ReferenceStatusTexts("", image);
    std::vector<std::string> lines = Lines(run.out);
    std::vector<std::string> status_lines;
    std::copy_if(
        lines.begin(), lines.end(), std::back_inserter(status_lines), [](const std::string& line) {
            return line.rfind("Image: ", 0) != 0 && line.rfind("Boot loader version: ", 0) != 0 &&
                   line.rfind("Hardware: ", 0) != 0 && line.rfind("result: ", 0) != 0;
        });
    EXPECT_EQ(status_lines, expected);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Boot loader version: " + VersionText(0x2083)),
              lines.end());
    EXPECT_EQ(lines.back(), "result: 0 success");
}

TEST(Download, QuietShowsOnlyTheResultAndTheError) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const CliRun run = RunCli({"download", image, "--port", "sim:ack-on-send=4", "--skip-seeking",
                               "--virtual-time", "--quiet"});
    EXPECT_EQ(run.status, 103);
    EXPECT_EQ(run.out, "result: 103 the drive did not acknowledge a packet in three sends\n");
    // The image's own text, not the job's closing "ERROR: Download failed.", explains it.
    EXPECT_NE(run.err.find("Error: Packet 1 transmission failure."), std::string::npos) << run.err;
}

// Catches a download killed by SIGPIPE when the program reading its output has ended.
TEST(Download, GoesOnWhenTheReaderOfItsOutputHasGone) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const std::string log = dir.Path("traffic.log");
    const CliRun run = RunCliIntoClosedPipe({"download", image, "--port", "sim", "--skip-seeking",
                                             "--virtual-time", "--traffic-log", log});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(TempDir::Read(log).find("-- port closed"), std::string::npos);
}

TEST(Download, AHeaderMessageBoxGoesToTheErrorStreamWithoutWaiting) {
    TempDir dir;
    const std::string image =
        dir.Write("old.orb", ImageBytes(ImageBuilder::Kdx(1).FillerPackets(1, 8)));
    const CliRun run =
        RunCli({"download", image, "--port", "sim", "--skip-seeking", "--virtual-time"});
    EXPECT_EQ(run.status, 106);
    EXPECT_NE(run.err.find("Orrim file error: Error: The Orrim file \"old.orb\" is meant for "
                           "hardware revision ID 1."),
              std::string::npos)
        << run.err;
}

TEST(Download, AnUnopenablePortIsExplained) {
    TempDir dir;
    const CliRun run =
        RunCli({"download", dir.Write("good.orb", ImageBytes(GoodImage())), "--port", "COM7"});
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.err.find("COM7 is not a port name the port map knows"), std::string::npos)
        << run.err;
}

// Catches a download that, with a settings store it cannot read, opens the default device of
// the port name (another device than the one the operator mapped) instead of failing.
TEST(Download, AStoreThatCannotBeReadFailsTheOpenWithItsReason) {
    TempDir dir;
    const std::string store = dir.Write("registry", "VantorRegistry 1\r\n[K]\r\nnot a value\r\n");
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const CliRun run = RunCliWithStore({"download", image, "--port", "COM1"}, store);
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.err.find("COM1 has no device: the settings store"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("line 3: neither [KEY] nor NAME=VALUE"), std::string::npos) << run.err;
}

// Reads what the child posted once it has exited; the test's copy of the write end is closed
// first so that the read ends.
std::string PostedText(const std::vector<std::string>& arguments_before_fd, int& status) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::vector<std::string> arguments = arguments_before_fd;
    arguments.push_back("--notify-fd");
    arguments.push_back(std::to_string(fds[1]));
    status = RunCli(arguments).status;
    ::close(fds[1]);
    std::string text;
    char buffer[64];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    return text;
}

TEST(NotifyFd, ASuccessfulSingleImagePostsDownloadFinished) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    int status = -1;
    const std::string posted = PostedText(
        {"download", image, "--port", "sim", "--skip-seeking", "--virtual-time"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(posted, std::to_string(platform::kDownloadFinished) + "\n");
}

TEST(NotifyFd, AFailedImagePostsNothing) {
    TempDir dir;
    int status = -1;
    const std::string posted = PostedText(
        {"download", dir.Path("missing.orb"), "--port", "sim", "--skip-seeking", "--virtual-time"},
        status);
    EXPECT_EQ(status, 102);
    EXPECT_EQ(posted, "");
}

// Catches a log on a FIFO that nobody reads holding the program before anything happens.
TEST(TrafficLog, AFifoWithoutAReaderIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const CliRun run = RunCli({"download", "a.orb", "--port", "sim", "--traffic-log", fifo});
    EXPECT_EQ(run.status, 64);
    EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
}

TEST(TrafficLog, HoldsTheBreaksTheInitFrameAndTheIdentReply) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const std::string log = dir.Path("traffic.log");
    const CliRun run = RunCli({"download", image, "--port", "sim:ident=0x2283", "--skip-seeking",
                               "--virtual-time", "--quiet", "--traffic-log", log});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string text = TempDir::Read(log);
    EXPECT_NE(text.find("TX break on"), std::string::npos);
    EXPECT_NE(text.find("RX break\n"), std::string::npos);
    EXPECT_NE(text.find("TX  A5 5A 00 02 00 00 33 33"), std::string::npos) << text.substr(0, 2000);
    EXPECT_NE(text.find("RX  4E 4F 22 83"), std::string::npos);
    EXPECT_NE(text.find("-- port closed"), std::string::npos);
}

TEST(TrafficLog, AFilesListDownloadEndsWithTheResetFrameWhenAsked) {
    TempDir dir;
    const std::string first = dir.Write("a.orb", ImageBytes(GoodImage()));
    const std::string second =
        dir.Write("b.orb", ImageBytes(ImageBuilder::Kdx(2).FillerPackets(1, 16)));
    const std::string list = dir.Write("list.txt", "a    " + first + "\r\nb    " + second + "\r\n");
    const std::string log = dir.Path("traffic.log");
    const CliRun run = RunCli({"download", "--files-list", list, "--port", "sim", "--skip-seeking",
                               "--reset-after", "--virtual-time", "--json", "--traffic-log", log});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto texts = StatusTexts(ParseJsonLines(run.out));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Download successful"), 2);
    EXPECT_NE(TempDir::Read(log).find("TX  A5 5A 00 06 45 58 00 00 FF FE 02 A0"),
              std::string::npos);
}

TEST(Terminal, DrawsOneLiveLineWithBarCountRateAndTimeLeft) {
    TempDir dir;
    const std::string image = dir.Write("image.orb", ImageBytes(GoodImage()));
    const CliRun run =
        RunCliOnTerminal({"download", image, "--port", "sim", "--skip-seeking", "--virtual-time"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\r\x1b[KDownloading packet 2 [################........] 2/3"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" B/s  ETA 0:"), std::string::npos);
    // The packet texts only redraw the live line; they never become lines of their own.
    EXPECT_EQ(run.out.find("Downloading packet 1\r\n"), std::string::npos);
}

}  // namespace
}  // namespace vantor::test
