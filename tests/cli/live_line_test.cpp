// The live line of a download as an operator sees it, fed the clock's readings a run would
// give: the time left from the rate measured so far, the seek as addresses tried, a narrow
// terminal, and the closing line.
#include "cli/console/live_line.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vantor::test {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::size_t kWide = 119;
constexpr std::size_t kNarrow = 39;

// Ten packets of 100 bytes, one a second; the sixth has just gone out.
cli::LiveLine SixthOfTenPackets() {
    cli::LiveLine line;
    line.Status("Downloading packet 6");
    line.Range(0, 10, 0, 0);
    for (int packet = 1; packet <= 6; ++packet) {
        line.Position(packet, (packet - 1) * kSecond);
    }
    return line;
}

TEST(LiveLine, TimeLeftComesFromTheRateMeasuredSoFar) {
    const cli::LiveLine line = SixthOfTenPackets();
    // Five packets took five seconds; five are still to go, the sixth among them.
    EXPECT_EQ(line.Text(5 * kSecond, 500, kWide),
              "Downloading packet 6 [##############..........] 6/10  100 B/s  ETA 0:05");
    cli::LiveLine first;
    first.Status("Downloading packet 1");
    first.Range(0, 10, 0, 0);
    first.Position(1, 0);
    EXPECT_EQ(first.Text(0, 0, kWide).find("ETA"), std::string::npos)
        << "no time left before a packet has gone whole";
}

TEST(LiveLine, ANarrowTerminalKeepsTheNumbersAndLosesTheBarFirst) {
    const cli::LiveLine line = SixthOfTenPackets();
    const std::string narrow = line.Text(5 * kSecond, 500, kNarrow);
    EXPECT_LE(narrow.size(), kNarrow);
    EXPECT_EQ(narrow, "6/10  100 B/s  ETA 0:05");
    EXPECT_EQ(line.Text(5 * kSecond, 500, 55), "Downloading packet 6 6/10  100 B/s  ETA 0:05");
    EXPECT_EQ(line.Text(5 * kSecond, 500, 14), "6/10  ETA 0:05");
}

TEST(LiveLine, TheSeekShowsTheAddressesTriedAndTheDriveThatAnswered) {
    cli::LiveLine line;
    line.Status("Seeking drives...");
    line.Range(0, 31, 0, 0);
    line.Position(12, 2 * kSecond);
    EXPECT_EQ(line.Text(2 * kSecond, 170, kWide), "Seeking drives... address 12 of 0-31");
    line.Address("5");
    line.Position(31, 4 * kSecond);
    // Whatever the drive's activation takes after the last address, no bar stands full.
    EXPECT_EQ(line.Text(6 * kSecond, 340, kWide),
              "Seeking drives... 32 addresses tried, drive at address 5");
    EXPECT_EQ(line.Text(6 * kSecond, 340, kNarrow), "32 addresses tried, drive at address 5");
}

TEST(LiveLine, TheClosingLineGivesBytesTimeAndAverageRate) {
    EXPECT_EQ(cli::ClosingLine(1234, 9 * kSecond, kWide),
              "sent 1234 bytes in 0:09, 137 B/s on average");
    EXPECT_EQ(cli::ClosingLine(1234, 9 * kSecond, 30), "1234 bytes, 0:09, 137 B/s");
    EXPECT_EQ(cli::ClosingLine(0, 0, kWide), "sent 0 bytes in 0:00");
}

}  // namespace
}  // namespace vantor::test
