// Breaks: the drive's answer to the host's break, and the break flag of the line error word.
#include <gtest/gtest.h>

#include <limits>
#include <ostream>

#include "platform/serial/serial_device.h"
#include "sim_host.h"

namespace vantor::sim::testing {
namespace {

using Kind = LineEvent::Kind;

struct BreakAnswerCase {
    std::string options;
    bool answered;
    int delay_ms;
    int length_ms;  // -1: the break never ends
};

void PrintTo(const BreakAnswerCase& c, std::ostream* os) {
    *os << "\"" << c.options << "\"";
}

class BreakAnswer : public ::testing::TestWithParam<BreakAnswerCase> {};

INSTANTIATE_TEST_SUITE_P(Drives, BreakAnswer,
                         ::testing::Values(BreakAnswerCase{"", true, 2, 10},
                                           BreakAnswerCase{"break-delay=40,break-ms=200", true, 40,
                                                           200},
                                           BreakAnswerCase{"break-delay=0,break-ms=1", true, 0, 1},
                                           BreakAnswerCase{"endless-break", true, 2, -1},
                                           BreakAnswerCase{"no-break-answer", false, 0, 0}));

TEST_P(BreakAnswer, DriveAnswersWhenTheHostsBreakEnds) {
    SimHost host(GetParam().options);
    host.SendBreak(100);
    const std::int64_t host_end_ns = host.NowNs();
    host.WaitMs(1000);
    const auto host_breaks = host.Events(Kind::HostBreak);
    ASSERT_EQ(host_breaks.size(), 1u);
    EXPECT_EQ(host_breaks[0].end_ns, host_end_ns);
    const auto breaks = host.Events(Kind::DriveBreak);
    if (!GetParam().answered) {
        EXPECT_TRUE(breaks.empty());
        return;
    }
    ASSERT_EQ(breaks.size(), 1u);
    const std::int64_t start_ns = host_end_ns + GetParam().delay_ms * kNsPerMs;
    EXPECT_EQ(breaks[0].at_ns, start_ns);
    EXPECT_EQ(breaks[0].end_ns,
              GetParam().length_ms < 0 ? -1 : start_ns + GetParam().length_ms * kNsPerMs);
}

// Options built in code skip the parser: a negative length must not turn into an endless
// break, nor a NaN noise share into a line that loses everything.
TEST(Break, NonsenseOptionsBuiltInCodeAreTakenAtTheirNearestSensibleValue) {
    SimOptions options;
    options.break_length_ms = -5;
    options.noise = std::numeric_limits<double>::quiet_NaN();
    SimHost host(options);
    host.SendBreak(100);
    host.WaitMs(100);
    const auto breaks = host.Events(Kind::DriveBreak);
    ASSERT_EQ(breaks.size(), 1u);
    EXPECT_EQ(breaks[0].end_ns, breaks[0].at_ns);
    host.Send(kInitFrame);
    EXPECT_EQ(host.AnswerAfterMs(100), Words({0x4E4F, 0x2083}));
}

// A break shorter than one character time looks like a zero byte's start bit to the drive.
TEST(Break, ShorterThanOneCharacterIsNotABreak) {
    SimHost host;
    host.SendBreak(0.5);
    host.WaitMs(100);
    EXPECT_TRUE(host.Events(Kind::DriveBreak).empty());
    host.SendBreak(1.1);
    host.WaitMs(100);
    EXPECT_EQ(host.Events(Kind::DriveBreak).size(), 1u);
}

TEST(Break, DriveInCommandModeIgnoresBreaks) {
    SimHost host("address=1");
    host.SendBreak(100);
    host.WaitMs(500);
    EXPECT_TRUE(host.Events(Kind::DriveBreak).empty());
    EXPECT_EQ(host.world().Mode(1), DriveMode::CommandMode);
}

TEST(Break, BytesWrittenDuringTheHostsBreakWaitForItsEnd) {
    SimHost host;
    host.line.SetBreak();
    host.Send("ab");
    host.WaitMs(10);
    EXPECT_TRUE(host.Events(Kind::HostByte).empty());
    host.line.ClearBreak();
    const std::int64_t end_ns = host.NowNs();
    host.WaitMs(10);
    const auto bytes = host.Events(Kind::HostByte);
    ASSERT_EQ(bytes.size(), 2u);
    EXPECT_EQ(bytes[0].at_ns, end_ns);
}

// Catches a frame parser that a break does not reset: the half frame before the break would
// swallow the init frame after it.
TEST(Break, ResetsTheDrivesFrameParser) {
    SimHost host;
    host.Send(Words({0xA55A, 0x0002, 0x0000}));
    host.WaitMs(20);
    host.SendBreak(100);
    host.WaitMs(400);
    host.line.Purge(platform::kPurgeRxClear);
    host.Send(kInitFrame);
    EXPECT_EQ(host.AnswerAfterMs(100), Words({0x4E4F, 0x2083}));
}

// Reports every millisecond after the host's break: the flag is set at every report whose
// window since the previous report touches the drive's break, and at no other.
struct FlagWindowCase {
    std::string options;
    int first_flagged_ms;
    int last_flagged_ms;
};

void PrintTo(const FlagWindowCase& c, std::ostream* os) {
    *os << "\"" << c.options << "\"";
}

class BreakFlagWindow : public ::testing::TestWithParam<FlagWindowCase> {};

INSTANTIATE_TEST_SUITE_P(Breaks, BreakFlagWindow,
                         ::testing::Values(FlagWindowCase{"", 2, 12},
                                           FlagWindowCase{"break-delay=5,break-ms=30", 5, 35},
                                           FlagWindowCase{"break-delay=0,break-ms=1", 0, 1}));

TEST_P(BreakFlagWindow, FlagCoversEveryReportThatOverlapsTheBreak) {
    SimHost host(GetParam().options);
    EXPECT_EQ(host.Errors(), 0u);
    host.SendBreak(100);
    for (int ms = 0; ms <= 60; ++ms) {
        const bool flagged = (host.Errors() & platform::kLineBreakFlag) != 0;
        EXPECT_EQ(flagged, ms >= GetParam().first_flagged_ms && ms <= GetParam().last_flagged_ms)
            << "report at " << ms << " ms after the host's break";
        host.WaitMs(1);
    }
}

// A break that begins and ends between two reports must still be seen, once.
TEST(BreakFlag, BreakBetweenTwoReportsIsReportedOnce) {
    SimHost host("break-delay=2,break-ms=3");
    host.Errors();
    host.SendBreak(100);
    host.WaitMs(20);
    EXPECT_NE(host.Errors() & platform::kLineBreakFlag, 0u);
    EXPECT_EQ(host.Errors() & platform::kLineBreakFlag, 0u);
}

TEST(BreakFlag, EndlessBreakIsReportedAtEveryReport) {
    SimHost host("endless-break");
    host.SendBreak(100);
    host.WaitMs(3);
    for (int poll = 0; poll < 1000; ++poll) {
        ASSERT_NE(host.Errors() & platform::kLineBreakFlag, 0u) << "poll " << poll;
        host.WaitMs(1);
    }
}

TEST(BreakFlag, ReportAlsoGivesTheBytesWaiting) {
    SimHost host;
    host.Send(kInitFrame);
    host.WaitMs(100);
    host.SendBreak(100);
    host.WaitMs(5);
    std::uint32_t waiting = 0;
    EXPECT_EQ(host.Errors(&waiting), platform::kLineBreakFlag);
    EXPECT_EQ(waiting, 4u);
}

}  // namespace
}  // namespace vantor::sim::testing
