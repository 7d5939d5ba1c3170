// The whole job against vantor-drive-sim running as a separate process, over loopback TCP on the
// real clock: breaks both ways, every byte value to the drive, clients one after another.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "job/job.h"
#include "link/drive_activation.h"
#include "link/serial_port.h"
#include "network_peers.h"
#include "platform/serial/port_map.h"
#include "platform/serial/rfc2217_telnet.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using image_writer::Bytes;

int PortOf(const std::string& address) {
    return std::stoi(address.substr(address.rfind(':') + 1));
}

// An image of filler packets and one packet holding every byte value, 0xFF included.
std::string WriteImage() {
    Bytes every_value;
    for (int value = 0; value < 256; ++value) {
        every_value.push_back(static_cast<std::uint8_t>(value));
    }
    return image_writer::ImageBuilder::Kdx(2)
        .FillerPackets(4, 240)
        .Packet(image_writer::WritePayload(0x00020000, every_value))
        .WriteTemp("vantor-serial-e2e");
}

class JobOverNetwork : public testing::Test {
  protected:
    // One image for every job of the test, removed at its end.
    void SetUp() override { ASSERT_FALSE(image_.empty()); }
    void TearDown() override { std::remove(image_.c_str()); }

    JobOutcome RunJob(const std::string& address) {
        host.Options.Ports.Set(1, address);
        host.Options.PortIndex = 0;
        host.Options.BaudChoice = 1;
        host.Options.SkipSeeking = 1;
        host.Options.ImagePath = image_;
        host.JobRunning = 1;
        return DownloadJob(host);
    }

    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped_window{window};
    JobHost host;

  private:
    std::string image_ = WriteImage();
};

TEST_F(JobOverNetwork, DownloadsTheImageToTheSimulatorServer) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    EXPECT_EQ(RunJob(server.address()), JobResult::kDone);
    EXPECT_EQ(window.Text(platform::Display::StatusLine), "Download successful");
    EXPECT_EQ(host.JobRunning, 0);
}

// Catches a server that cannot take a second client, or keeps the first one's drive state.
TEST_F(JobOverNetwork, ServesClientsOneAfterAnother) {
    test::DriveSimProcess server("ident=0x20C5");
    ASSERT_FALSE(server.address().empty());
    ASSERT_EQ(RunJob(server.address()), JobResult::kDone);
    window.Clear();
    EXPECT_EQ(RunJob(server.address()), JobResult::kDone);
    EXPECT_EQ(window.Text(platform::Display::StatusLine), "Download successful");
}

// Behind 2 ms of network delay each way at 9600 baud the drive's probe answer comes after the
// serial line's 19-poll window; the window grows by the measured round trip, so the seek credits
// the answer to the drive's own address and not the next one.
TEST_F(JobOverNetwork, SeekBehindNetworkDelayFindsTheDriveAtItsOwnAddress) {
    test::DriveSimProcess server("address=5");
    ASSERT_FALSE(server.address().empty());
    for (int run = 0; run < 2; ++run) {
        test::DelayRelay relay(PortOf(server.address()), 2);
        platform::PortMap ports;
        ports.Set(1, relay.Address());
        ASSERT_EQ(OpenDrivePort(9600, '1', ports), PortResult::kDone);
        EXPECT_GE(PortAnswerDelayMs(), 4);
        EXPECT_EQ(SeekDrives(), 5) << "run " << run;
        EXPECT_EQ(window.Text(platform::Display::AddressLabel), "5");
        ClosePort();
    }
}

// A server that gives the port to another client mid-download: the job ends with its own
// result and text at once, not after the link's budgets as a silent drive would.
TEST_F(JobOverNetwork, ConnectionDroppedMidDownloadEndsTheJobAsLost) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    test::DelayRelay relay(PortOf(server.address()), 0, 600);
    EXPECT_EQ(RunJob(relay.Address()), JobResult::kPortLost);
    EXPECT_TRUE(relay.Dropped());
    EXPECT_EQ(window.Text(platform::Display::StatusLine), platform::kLostNetworkPortText);
    EXPECT_EQ(host.Record.Port.lost, platform::kLostNetworkPortText);
    EXPECT_EQ(host.JobRunning, 0);
}

int Occurrences(const std::vector<std::uint8_t>& stream, const std::vector<std::uint8_t>& what) {
    int found = 0;
    for (auto at = stream.begin();
         (at = std::search(at, stream.end(), what.begin(), what.end())) != stream.end(); ++at) {
        ++found;
    }
    return found;
}

// The drive answers each break with a break of 100 ms. A server that reported the line state at
// every look while it lasted sent about a hundred reports per break.
TEST_F(JobOverNetwork, EachBreakOfTheDriveIsReportedOnceAtItsStartAndOnceAtItsEnd) {
    using namespace platform::telnet;
    test::DriveSimProcess server("break-ms=100");
    ASSERT_FALSE(server.address().empty());
    test::DelayRelay relay(PortOf(server.address()), 0);
    ASSERT_EQ(RunJob(relay.Address()), JobResult::kDone);
    std::vector<std::uint8_t> break_on;
    std::vector<std::uint8_t> break_began;
    std::vector<std::uint8_t> break_ended;
    AppendComPortCommand(kComSetControl, {kControlBreakOn}, break_on);
    AppendComPortCommand(kComNotifyLineState + kServerCommandOffset, {kLineStateBreak},
                         break_began);
    AppendComPortCommand(kComNotifyLineState + kServerCommandOffset, {0}, break_ended);
    const int breaks_sent = Occurrences(relay.ToServer(), break_on);
    EXPECT_GE(breaks_sent, 1);
    EXPECT_EQ(Occurrences(relay.ToClient(), break_began), breaks_sent);
    EXPECT_EQ(Occurrences(relay.ToClient(), break_ended), breaks_sent);
}

#ifdef VANTOR_CLI_PATH
// The operator's way: vantor-cli and vantor-drive-sim as two processes over loopback.
TEST(CliOverNetwork, DownloadsTheImageToTheSimulatorServer) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    const std::string image = WriteImage();
    const test::ProgramRun run =
        test::RunProgram({VANTOR_CLI_PATH, "download", image, "--port", server.address()});
    std::remove(image.c_str());
    EXPECT_EQ(run.exit_status, 0) << run.output;
    EXPECT_NE(run.output.find("Download successful"), std::string::npos) << run.output;
}

TEST(CliOverNetwork, ServerNotThereFailsToOpenThePortWithTheReason) {
    const std::string image = WriteImage();
    // Port 1 on loopback has nobody listening: the connection is refused at once.
    const test::ProgramRun run = test::RunProgram(
        {VANTOR_CLI_PATH, "download", image, "--port", "rfc2217://127.0.0.1:1", "--json"});
    std::remove(image.c_str());
    EXPECT_EQ(run.exit_status, DesignCode(JobResult::kPortUnopenable)) << run.output;
    EXPECT_NE(run.output.find("Error : Failed to initialize COM port"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\"detail\":\"cannot connect to 127.0.0.1:1: Connection refused"),
              std::string::npos)
        << run.output;
}

TEST(CliOverNetwork, AddressWithoutPortIsAUsageError) {
    const test::ProgramRun run =
        test::RunProgram({VANTOR_CLI_PATH, "download", "x.orb", "--port", "rfc2217://127.0.0.1"});
    EXPECT_EQ(run.exit_status, 64) << run.output;
    EXPECT_NE(run.output.find("is not rfc2217://HOST:PORT"), std::string::npos) << run.output;
}
#endif

TEST(DriveSimProgram, RefusesBadOptionsWithAUsageMessage) {
    const test::ProgramRun run =
        test::RunProgram({VANTOR_DRIVE_SIM_PATH, "--port", "0", "bogus=1"});
    EXPECT_EQ(run.exit_status, 64);
    EXPECT_NE(run.output.find("usage: vantor-drive-sim --port PORT"), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace vantor
