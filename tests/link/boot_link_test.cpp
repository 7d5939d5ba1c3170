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
    void SetUp() override { ASSERT_EQ(OpenDrivePort(9600, '1'), 1); }
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
    EXPECT_EQ(Resync(), 0);
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
    EXPECT_EQ(Resync(), -1);
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
    EXPECT_EQ(Resync(), -2);
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
    EXPECT_EQ(Resync(), -2);
    const auto [break_start_ms, break_end_ms] = DriveBreakMs();
    EXPECT_GT(break_start_ms - start_ms, 100.0 + 499.0);
    EXPECT_LE(break_start_ms - start_ms, 100.0 + 500.0);
    EXPECT_EQ(bench.window.Text(Display::StatusLine),
              "Resync Failure:  Slave did not quit sending a serial break");
}

TEST_F(BootLinkTest, IdentifySendsTheInitFrameAndReturnsTheIdentWord) {
    EXPECT_EQ(Identify(), 0x2083);
    EXPECT_EQ(bench.world->HostBytes(),
              (std::vector<std::uint8_t>{0xA5, 0x5A, 0x00, 0x02, 0x00, 0x00, 0x33, 0x33}));
    EXPECT_TRUE(bench.window.StatusTexts().empty());
}

struct IdentifyFailure {
    const char* options;
    int result;
    const char* text;
    int left_waiting;
};

class IdentifyFailureTest : public ::testing::TestWithParam<IdentifyFailure> {};

// The checks run in the order no answer (-1), wrong length (-3), wrong acknowledgement (-2).
TEST_P(IdentifyFailureTest, FailsWithItsCodeAndText) {
    const IdentifyFailure& c = GetParam();
    test::SimBench bench(c.options);
    ASSERT_EQ(OpenDrivePort(9600, '1'), 1);
    EXPECT_EQ(Identify(), c.result);
    EXPECT_EQ(bench.window.StatusTexts(), std::vector<std::string>{c.text});
    EXPECT_EQ(PortBytesWaiting(), c.left_waiting);
    ClosePort();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IdentifyFailureTest,
    ::testing::Values(
        IdentifyFailure{"init-delay=150", -1,
                        "Orrim Init Failure:  Slave did not respond to cmd packet", 0},
        IdentifyFailure{"stray=1", -3, "Orrim Init Failure: Slave incorrectly transmitted", 5},
        IdentifyFailure{"init-length=3", -3, "Orrim Init Failure: Slave incorrectly transmitted",
                        3},
        IdentifyFailure{"init-ack=0x6F6B", -2, "Orrim Init Failure:  Incorrect response received.",
                        2}));

}  // namespace
}  // namespace vantor
