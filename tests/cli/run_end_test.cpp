// How a run of vantor-cli ends when something outside the drive fails: an adapter pulled out in
// the middle of the download, standard output on a full disk, a controlling program whose pipe
// is full. Run as the built program, with what a script would see.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

constexpr int kPortLost = 6;
constexpr int kOutputUnwritten = 32;
constexpr const char* kOutputUnwrittenText = "the run's output could not be written";

std::string WriteImage(const TempDir& dir, int packets) {
    const auto bytes = image_writer::ImageBuilder::Kdx(2).FillerPackets(packets, 64).Build();
    return dir.Write("image.orb", bytes);
}

std::vector<std::string> Events(const std::string& out, const std::string& prefix) {
    std::vector<std::string> found;
    for (const JsonObject& event : ParseJsonLines(out)) {
        if (StringField(event, "event").rfind(prefix, 0) == 0) {
            found.push_back(StringField(event, "event"));
        }
    }
    return found;
}

// Catches a simulated unplug that only shows as a resynchronisation or packet failure after
// the link's budgets, where a real adapter pulled out ends the job at once as a lost port.
TEST(RunEnd, AnAdapterPulledOutMidDownloadEndsItAsALostPort) {
    TempDir dir;
    const std::string image = WriteImage(dir, 40);  // about 3 s of packets at 9600 baud
    const CliRun run = RunCli({"download", image, "--port", "sim:unplug-at=1500", "--skip-seeking",
                               "--virtual-time", "--json"});
    EXPECT_EQ(run.status, kPortLost) << run.err;
    std::string last_status;
    int packets_shown = 0;
    for (const JsonObject& event : ParseJsonLines(run.out)) {
        if (StringField(event, "event") == "status") {
            last_status = StringField(event, "text");
            packets_shown += last_status.rfind("Downloading packet", 0) == 0 ? 1 : 0;
        }
    }
    EXPECT_GT(packets_shown, 1) << "the unplug came before the packets";
    EXPECT_EQ(last_status, "the serial device went away");
    EXPECT_NE(run.err.find("the serial device went away"), std::string::npos) << run.err;
}

// Catches a run that reports success while its output went nowhere (a full disk), and one that
// fails a run whose reader merely went away.
TEST(RunEnd, AFullDiskFailsTheRunAfterItsReportButAClosedReaderDoesNot) {
    TempDir dir;
    const std::string image = WriteImage(dir, 2);
    const std::vector<std::string> one{"download",       image,
                                       "--port",         "sim",
                                       "--skip-seeking", "--virtual-time",
                                       "--report",       dir.Path("report.json")};
    const CliRun full = RunCliWith(one, {{}, platform::ChildStream::File("/dev/full")});
    EXPECT_EQ(full.status, kOutputUnwritten) << full.err;
    EXPECT_NE(full.err.find(std::string(kOutputUnwrittenText) + ": No space left on device"),
              std::string::npos)
        << full.err;
    const auto report = ParseJsonLine(Lines(TempDir::Read(dir.Path("report.json"))).at(0));
    ASSERT_TRUE(report);
    EXPECT_EQ(StringField(*report, "result"), "success");

    std::vector<std::string> line = one;
    line.insert(line.end(), {"--port", "sim:seed=2"});
    EXPECT_EQ(RunCliWith(line, {{}, platform::ChildStream::File("/dev/full")}).status,
              kOutputUnwritten);
    EXPECT_EQ(RunCliIntoClosedPipe(line).status, 0);
}

// Catches a post to a controlling program that is lost on a full pipe while the run says it
// was made.
TEST(RunEnd, APostThatCannotBeWrittenFailsTheRunAndIsNotClaimed) {
    TempDir dir;
    const std::string image = WriteImage(dir, 2);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'x');
    while (::write(fds[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);

    const CliRun run = RunCli({"download", image, "--port", "sim", "--skip-seeking",
                               "--virtual-time", "--json", "--notify-fd", std::to_string(fds[1])});
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(run.status, kOutputUnwritten) << run.err;
    EXPECT_EQ(Events(run.out, "post"), std::vector<std::string>{"post-failed"});
    EXPECT_NE(run.err.find(kOutputUnwrittenText), std::string::npos) << run.err;
}

}  // namespace
}  // namespace vantor::test
