#include <gtest/gtest.h>

#include <thread>

#include "job_fixture.h"
#include "link/serial_port.h"

namespace vantor::test {
namespace {

using image_writer::ImageBuilder;
using platform::Display;

struct IdentCase {
    unsigned ident;
    const char* version;
    const char* revision;
};

class IdentLabelsTest : public ::testing::TestWithParam<IdentCase> {};

TEST_P(IdentLabelsTest, VersionAndRevisionComeFromTheIdentWord) {
    EXPECT_EQ(VersionText(GetParam().ident), GetParam().version);
    EXPECT_EQ(RevisionText(GetParam().ident), GetParam().revision);
}

INSTANTIATE_TEST_SUITE_P(IdentWords, IdentLabelsTest,
                         ::testing::Values(IdentCase{0x1283, "a.3", "KDX1v2 (ID = 1)"},
                                           IdentCase{0x2083, "2.3", "KDX2 (ID = 2)"},
                                           IdentCase{0x3041, "1.1", "ID: 3"},
                                           IdentCase{0x1AC5, "2b.5", "KDX1v2 (ID = 1)"},
                                           IdentCase{0x0000, "0.0", "KDX1v1 (ID = 0)"},
                                           IdentCase{0xFFFF, "3f.3f", "ID: 15"}));

TEST_F(JobTest, AnUnopenablePortEndsWithItsOwnResultAndNoTraffic) {
    Start("");
    host.Options.PortIndex = -1;  // no port button checked: COM0
    EXPECT_EQ(Run(), JobResult::kPortUnopenable);
    EXPECT_EQ(Statuses(), std::vector<std::string>{"Error : Failed to initialize COM port"});
    EXPECT_TRUE(bench->world->Traffic().empty());
}

// The job opens its port through the map its front end handed it, and the port's outcome comes
// back in its own record: a second job with another map in the same process sees neither.
TEST_F(JobTest, OpensThePortThroughItsOwnMapAndKeepsThePortsOutcomeInItsRecord) {
    Start("");
    host.Options.Ports.Set(1, "nowhere:1");
    EXPECT_EQ(Run(), JobResult::kPortUnopenable);
    EXPECT_EQ(host.Record.Port.open_error, "no device for the address \"nowhere:1\"");
    EXPECT_TRUE(bench->world->Traffic().empty());

    JobHost other;
    other.Options.PortIndex = 0;
    other.Options.ImagePath = files.Image(ImageBuilder::Kdx(2).FillerPackets(1, 50));
    other.Options.SkipSeeking = 1;
    other.JobRunning = 1;
    EXPECT_EQ(DownloadJob(other), JobResult::kDone);
    EXPECT_EQ(other.Record.Port.open_error, "");
    EXPECT_EQ(host.Record.Port.open_error, "no device for the address \"nowhere:1\"");

    // The next job of the first host starts its record afresh.
    host.Options.Ports.Set(1, "");
    host.Options.ImagePath = other.Options.ImagePath;
    host.Options.SkipSeeking = 1;
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(host.Record.Port.open_error, "");
    EXPECT_FALSE(host.Record.Port.carries_no_breaks);
}

TEST_F(JobTest, ShowsTheDrivesIdentificationAndDownloadsTheSingleImage) {
    Start("ident=0x2083");
    const ImageBuilder image = ImageBuilder::Kdx(2).FillerPackets(2, 100);
    host.Options.ImagePath = files.Image(image);
    host.Options.SkipSeeking = 1;
    host.Options.ResetAfterDownload = 1;
    host.NotifyWindowFd = 7;
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(bench->window.Text(Display::VersionLabel), "2.3");
    EXPECT_EQ(bench->window.Text(Display::RevisionLabel), "KDX2 (ID = 2)");
    EXPECT_EQ(bench->world->AcceptedPackets(), PacketsOf(image.Build(), 16));
    EXPECT_EQ(Status(), "Download successful");
    // The reset command never follows a single image.
    EXPECT_EQ(bench->world->ResetCount(), 0);
    const auto posts = bench->window.Posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].a, 7);
    EXPECT_EQ(posts[0].b, platform::kDownloadFinished);
    EXPECT_EQ(bench->window.QuitCount(), 1);
}

TEST_F(JobTest, AFailedSingleImageEndsWithItsCodeAndLeavesTheWindowOpen) {
    Start("");
    host.Options.ImagePath = "/nonexistent/image.orb";
    host.Options.SkipSeeking = 1;
    host.NotifyWindowFd = 7;
    EXPECT_EQ(Run(), JobOutcome(ImageResult::kUnopenable));
    const auto statuses = Statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], "Error: Unable to open file");
    EXPECT_EQ(statuses.back(), "ERROR: Download failed.");
    EXPECT_TRUE(bench->window.Posts().empty());
    EXPECT_EQ(bench->window.QuitCount(), 0);
}

TEST_F(JobTest, SeveralDrivesEndTheJob) {
    Start("addresses=3+7");
    EXPECT_EQ(Run(), JobResult::kSeveralDrives);
    EXPECT_EQ(Status(), " Error: Detected multiple drives");
}

// Skipping the seek only skips the first activation: every retry after a failed
// resynchronisation seeks the drive.
TEST_F(JobTest, ResyncFailingFourTimesEndsTheJobAfterThreeSeekingRetries) {
    Start("no-break-answer");
    host.Options.SkipSeeking = 1;
    EXPECT_EQ(Run(), JobResult::kResyncFailed);
    int host_breaks = 0;
    for (const auto& event : bench->world->Traffic()) {
        host_breaks += event.kind == sim::LineEvent::Kind::HostBreak ? 1 : 0;
    }
    EXPECT_EQ(host_breaks, 4);
    EXPECT_EQ(Count("Seeking drives..."), 3);
    EXPECT_EQ(Status(), "Resync Failure:  Slave did not respond to serial break");
}

TEST_F(JobTest, ResyncSucceedingAtTheThirdRetryLetsTheJobGoOn) {
    Start("ignore-breaks=3");
    host.Options.SkipSeeking = 1;
    host.Options.ImagePath = files.Image(ImageBuilder::Kdx(2).FillerPackets(1, 10));
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(Count("Resync Failure:  Slave did not respond to serial break"), 3);
    EXPECT_EQ(Count("Seeking drives..."), 3);
    EXPECT_EQ(bench->world->AcceptedPackets().size(), 1u);
}

TEST_F(JobTest, ARetryAfterReactivationBringsADriveInCommandModeIntoTheBootLoader) {
    Start("address=6");
    host.Options.SkipSeeking = 1;  // the first resynchronisation finds the drive in command mode
    host.Options.ImagePath = files.Image(ImageBuilder::Kdx(2).FillerPackets(1, 10));
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(Count("Resync Failure:  Slave did not respond to serial break"), 1);
    EXPECT_EQ(Count("Seeking drives..."), 1);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "6");
}

TEST_F(JobTest, ASpecificAddressIsUsedForEveryActivationWhateverSkipSeekingSays) {
    Start("address=12");
    host.Options.UseSpecificAddress = 1;
    host.Options.SpecificAddress = 12;
    host.Options.SkipSeeking = 1;
    host.Options.ImagePath = files.Image(ImageBuilder::Kdx(2).FillerPackets(1, 10));
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(Count("Seeking drives..."), 0);
    EXPECT_EQ(Count("Trying to activate drive..."), 1);
    EXPECT_EQ(bench->window.Text(Display::AddressLabel), "C");
}

TEST_F(JobTest, IdentificationFailureEndsTheJob) {
    Start("init-ack=0x1234");
    host.Options.SkipSeeking = 1;
    EXPECT_EQ(Run(), JobResult::kIdentifyFailed);
    EXPECT_EQ(Status(), "Orrim Init Failure:  Incorrect response received.");
    EXPECT_EQ(bench->window.Text(Display::VersionLabel), "");
}

TEST_F(JobTest, AMissingFilesListEndsTheJob) {
    Start("");
    host.Options.SkipSeeking = 1;
    host.Options.FilesListPath = "/nonexistent/flist.txt";
    EXPECT_EQ(Run(), JobResult::kFilesListUnopenable);
    EXPECT_EQ(Status(), "Failed to open files list");
}

TEST_F(JobTest, AnEmptyFilesListIsReportedAndStillResetsTheDrive) {
    Start("");
    host.Options.SkipSeeking = 1;
    host.Options.ResetAfterDownload = 1;
    host.Options.FilesListPath = files.Text("");
    EXPECT_EQ(Run(), JobResult::kDone);
    EXPECT_EQ(Status(), "File not found,press Advanced button to add files.");
    bench->clock.Advance(50'000'000);  // the frame's last bytes leave the transmitter
    EXPECT_EQ(bench->world->ResetCount(), 1);
    EXPECT_EQ(bench->window.QuitCount(), 0);
}

TEST_F(JobTest, EveryLineOfTheFilesListIsDownloadedInOrderWithItsLabel) {
    Start("");
    host.Options.SkipSeeking = 1;
    const ImageBuilder first = ImageBuilder::Kdx(2).FillerPackets(2, 30, 0x1000, 1);
    const ImageBuilder second = ImageBuilder::Kdx(2).FillerPackets(3, 30, 0x2000, 2);
    // CR LF line ends, and a last line without one.
    host.Options.FilesListPath = files.Text("b one.orb    " + files.Image(first) + "\r\n" +
                                            "a two.orb    " + files.Image(second));
    EXPECT_EQ(Run(), JobResult::kDone);
    auto expected = PacketsOf(first.Build(), 16);
    for (auto& packet : PacketsOf(second.Build(), 16)) {
        expected.push_back(packet);
    }
    EXPECT_EQ(bench->world->AcceptedPackets(), expected);
    EXPECT_EQ(bench->world->ResetCount(), 0);
    // The packet numbers start at 1 for every file.
    EXPECT_EQ(Count("Downloading packet 1"), 2);
    EXPECT_EQ(Count("Downloading packet 3"), 1);
    std::vector<std::string> labels;
    for (const auto& call : bench->window.Calls()) {
        if (call.what == "text" && call.display == Display::FileNameLabel) {
            labels.push_back(call.text);
        }
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"b one.orb", "a two.orb"}));
    EXPECT_TRUE(bench->window.Posts().empty());
}

TEST_F(JobTest, AnEmptyLineFailsItsDownloadAndStopsTheList) {
    Start("");
    host.Options.SkipSeeking = 1;
    const std::string image = files.Image(ImageBuilder::Kdx(2).FillerPackets(1, 10));
    host.Options.FilesListPath = files.Text(
        "\n"
        "x.orb    " +
        image + "\n");
    EXPECT_EQ(Run(), JobOutcome(ImageResult::kUnopenable));
    EXPECT_EQ(Count("Error: Unable to open file"), 1);
    EXPECT_EQ(Status(), "ERROR: Download failed.");
    EXPECT_TRUE(bench->world->AcceptedPackets().empty());
}

// The job runs on a worker thread while the front end reads JobRunning and changes the
// addressing options, as the Advanced dialog may; ThreadSanitizer checks this run.
TEST_F(JobTest, RunsOnAWorkerThreadWhileTheFrontEndChangesOptions) {
    Start("address=9");
    host.Options.UseSpecificAddress = 1;
    host.Options.SpecificAddress = 9;
    host.Options.ImagePath = files.Image(ImageBuilder::Kdx(2).FillerPackets(2, 20));
    host.JobRunning = 1;
    JobOutcome result = JobResult::kStopped;
    std::thread worker([&] { result = DownloadJob(host); });
    AwaitOrAbort(
        [&] {
            if (host.JobRunning == 0) {
                return true;
            }
            host.Options.SpecificAddress = 9;
            host.Options.SkipSeeking = 1 - host.Options.SkipSeeking;
            return false;
        },
        std::chrono::seconds(60), "the job on the worker thread did not end");
    worker.join();
    EXPECT_EQ(result, JobResult::kDone);
    EXPECT_EQ(bench->world->AcceptedPackets().size(), 2u);
}

// The numbers the design gives the job's results, which exit statuses and records show: a
// failed image gives its own.
TEST(JobResults, KeepTheDesignsNumbers) {
    EXPECT_EQ(DesignCode(JobResult::kDone), 0);
    EXPECT_EQ(DesignCode(JobResult::kSeveralDrives), 1);
    EXPECT_EQ(DesignCode(JobResult::kResyncFailed), 2);
    EXPECT_EQ(DesignCode(JobResult::kIdentifyFailed), 3);
    EXPECT_EQ(DesignCode(JobResult::kFilesListUnopenable), 4);
    EXPECT_EQ(DesignCode(JobResult::kPortUnopenable), 5);
    EXPECT_EQ(DesignCode(JobResult::kPortLost), 6);
    EXPECT_EQ(DesignCode(JobResult::kStopped), 10);
    EXPECT_EQ(DesignCode(ImageResult::kBadBopWord), -2);
    EXPECT_EQ(DesignCode(JobOutcome(ImageResult::kPrematureEnd)), -6);
    EXPECT_NE(JobOutcome(ImageResult::kBadBopWord), JobOutcome(ImageResult::kUnopenable));
}

}  // namespace
}  // namespace vantor::test
