#include <gtest/gtest.h>

#include "link/boot_link.h"
#include "link/serial_port.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using platform::Display;
using sim::LineEvent;

// A simulated drive in boot-loader mode behind an open port.
class BootLinkTest : public ::testing::Test {
  protected:
    explicit BootLinkTest(const std::string& options = "") : bench(options) {}
    void SetUp() override {
        ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    }
    void TearDown() override { ClosePort(); }

    // The first drive break on the line, in milliseconds since the bench was made.
    std::pair<double, double> DriveBreakMs() {
        for (const LineEvent& event : bench.world->Traffic()) {
            if (event.kind == LineEvent::Kind::DriveBreak) {
                return {ToBenchMs(event.at_ns), ToBenchMs(event.end_ns)};
            }
        }
        return {-1, -1};
    }
    double ToBenchMs(std::int64_t ns) {
        return bench.ElapsedMs() - static_cast<double>(bench.clock.NowNs() - ns) / 1e6;
    }

    test::SimBench bench;
};

TEST_F(BootLinkTest, WordsGoHighByteFirst) {
    WriteWord(0xA55A);
    WriteWord(0xFFFE);
    platform::Sleep(10);
    EXPECT_EQ(bench.world->HostBytes(), (std::vector<std::uint8_t>{0xA5, 0x5A, 0xFF, 0xFE}));
}

TEST_F(BootLinkTest, ResetFrameIsSentByteForByteWithoutWaiting) {
    const double start_ms = bench.ElapsedMs();
    ResetDrive();
    EXPECT_EQ(bench.ElapsedMs(), start_ms);
    platform::Sleep(20);
    EXPECT_EQ(bench.world->HostBytes(),
              (std::vector<std::uint8_t>{0xA5, 0x5A, 0x00, 0x06, 0x45, 0x58, 0x00, 0x00, 0xFF, 0xFE,
                                         0x02, 0xA0}));
    EXPECT_EQ(bench.world->ResetCount(), 1);
}

TEST_F(BootLinkTest, ResyncSettles300MsAfterTheDrivesBreakEndsWithBothQueuesEmpty) {
    EXPECT_EQ(Resync(), ResyncResult::kDone);
    const auto [break_start_ms, break_end_ms] = DriveBreakMs();
    ASSERT_GT(break_start_ms, 100.0);  // answered after the host's 100 ms break
    // Polls of 1 ms notice the end of the break within 2 ms; then 300 ms of quiet.
    EXPECT_GE(bench.ElapsedMs(), break_end_ms + 300);
    EXPECT_LE(bench.ElapsedMs(), break_end_ms + 303);
    EXPECT_EQ(PortBytesWaiting(), 0);
    EXPECT_TRUE(bench.window.StatusTexts().empty());
}

class SilentDriveTest : public BootLinkTest {
  protected:
    SilentDriveTest() : BootLinkTest("no-break-answer") {}
};

TEST_F(SilentDriveTest, ResyncGivesUpAfterTheBreakAnd500Polls) {
    const double start_ms = bench.ElapsedMs();
    EXPECT_EQ(Resync(), ResyncResult::kNoBreakAnswer);
    EXPECT_DOUBLE_EQ(bench.ElapsedMs() - start_ms, 100.0 + 500.0);
    EXPECT_EQ(bench.window.StatusTexts(),
              std::vector<std::string>{"Resync Failure:  Slave did not respond to serial break"});
}

class EndlessBreakTest : public BootLinkTest {
  protected:
    EndlessBreakTest() : BootLinkTest("endless-break") {}
};

TEST_F(EndlessBreakTest, ResyncFailsWhenTheDrivesBreakNeverEnds) {
    const double start_ms = bench.ElapsedMs();
    EXPECT_EQ(Resync(), ResyncResult::kBreakNotEnded);
    // One budget of 500 polls covers both waits, plus the one unpolled millisecond.
    EXPECT_DOUBLE_EQ(bench.ElapsedMs() - start_ms, 100.0 + 500.0 + 1.0);
    EXPECT_EQ(
        bench.window.StatusTexts(),
        std::vector<std::string>{"Resync Failure:  Slave did not quit sending a serial break"});
}

// The drive's break starts within the last poll of the first wait: only the unpolled look is
// left to see it end, and a break of a few milliseconds is still there.
class LateBreakTest : public BootLinkTest {
  protected:
    LateBreakTest() : BootLinkTest("break-delay=500,break-ms=20") {}
};

TEST_F(LateBreakTest, ABreakFirstSeenOnThe500thPollFailsAsNeverEnding) {
    const double start_ms = bench.ElapsedMs();
    EXPECT_EQ(Resync(), ResyncResult::kBreakNotEnded);
    const auto [break_start_ms, break_end_ms] = DriveBreakMs();
    EXPECT_GT(break_start_ms - start_ms, 100.0 + 499.0);
    EXPECT_LE(break_start_ms - start_ms, 100.0 + 500.0);
    EXPECT_EQ(bench.window.Text(Display::StatusLine),
              "Resync Failure:  Slave did not quit sending a serial break");
}

TEST_F(BootLinkTest, IdentifySendsTheInitFrameAndReturnsTheIdentWord) {
    EXPECT_EQ(Identify(), IdentifyResult(0x2083));
    EXPECT_EQ(bench.world->HostBytes(),
              (std::vector<std::uint8_t>{0xA5, 0x5A, 0x00, 0x02, 0x00, 0x00, 0x33, 0x33}));
    EXPECT_TRUE(bench.window.StatusTexts().empty());
}

struct IdentifyFailureCase {
    const char* options;
    IdentifyFailure failure;
    const char* text;
    int left_waiting;
};

class IdentifyFailureTest : public ::testing::TestWithParam<IdentifyFailureCase> {};

// The checks run in the order no answer, wrong length, wrong acknowledgement.
TEST_P(IdentifyFailureTest, FailsWithItsCodeAndText) {
    const IdentifyFailureCase& c = GetParam();
    test::SimBench bench(c.options);
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    EXPECT_EQ(Identify(), IdentifyResult(c.failure));
    EXPECT_EQ(bench.window.StatusTexts(), std::vector<std::string>{c.text});
    EXPECT_EQ(PortBytesWaiting(), c.left_waiting);
    ClosePort();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IdentifyFailureTest,
    ::testing::Values(
        IdentifyFailureCase{"init-delay=150", IdentifyFailure::kNoAnswer,
                            "Orrim Init Failure:  Slave did not respond to cmd packet", 0},
        IdentifyFailureCase{"stray=1", IdentifyFailure::kWrongLength,
                            "Orrim Init Failure: Slave incorrectly transmitted", 5},
        IdentifyFailureCase{"init-length=3", IdentifyFailure::kWrongLength,
                            "Orrim Init Failure: Slave incorrectly transmitted", 3},
        IdentifyFailureCase{"init-ack=0x6F6B", IdentifyFailure::kWrongAck,
                            "Orrim Init Failure:  Incorrect response received.", 2}));

// The numbers the design gives these results, which the front ends and the records show.
TEST(BootLinkResults, KeepTheDesignsNumbers) {
    EXPECT_EQ(DesignCode(ResyncResult::kDone), 0);
    EXPECT_EQ(DesignCode(ResyncResult::kNoBreakAnswer), -1);
    EXPECT_EQ(DesignCode(ResyncResult::kBreakNotEnded), -2);
    EXPECT_EQ(DesignCode(IdentifyResult(0x2083)), 0x2083);
    EXPECT_EQ(DesignCode(IdentifyResult(0xFFFF)), 0xFFFF);
    EXPECT_EQ(DesignCode(IdentifyResult(IdentifyFailure::kNoAnswer)), -1);
    EXPECT_EQ(DesignCode(IdentifyResult(IdentifyFailure::kWrongAck)), -2);
    EXPECT_EQ(DesignCode(IdentifyResult(IdentifyFailure::kWrongLength)), -3);
}

// An IdentWord of 0 is a word like any other, not a failure.
TEST(BootLinkResults, IdentWordZeroIsIdentified) {
    const IdentifyResult result(std::uint16_t{0});
    EXPECT_TRUE(result.Identified());
    EXPECT_EQ(result.IdentWord(), 0);
    EXPECT_NE(result, IdentifyResult(IdentifyFailure::kNoAnswer));
}

}  // namespace
}  // namespace vantor
