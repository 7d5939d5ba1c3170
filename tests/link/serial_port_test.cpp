#include <gtest/gtest.h>

#include "link/serial_port.h"
#include "platform/serial/device_address.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using platform::Display;
using sim::LineEvent;

class SerialPortTest : public ::testing::Test {
  protected:
    ~SerialPortTest() override { ClosePort(); }
    test::SimBench bench;
};

TEST_F(SerialPortTest, OpenDrivePortSetsTheDrivesLineFormat) {
    ASSERT_EQ(OpenDrivePort(19200, '3', platform::PortMap()), PortResult::kDone);
    const platform::LineSettings* settings = CurrentPort()->settings();
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->BaudRate, 19200u);
    EXPECT_EQ(settings->ByteSize, 8);
    EXPECT_EQ(settings->Parity, 0);
    EXPECT_EQ(settings->StopBits, 0);
    ClosePort();
    EXPECT_EQ(CurrentPort(), nullptr);
}

// COM0 comes from a port index of -1 (no port button checked) and must not open anything.
TEST_F(SerialPortTest, PortNamesOutsideTheMapFailWithTheStatusText) {
    for (char port_char : {'0', '5', 'E'}) {
        bench.window.Clear();
        EXPECT_EQ(OpenDrivePort(9600, port_char, platform::PortMap()), PortResult::kFailed)
            << port_char;
        EXPECT_EQ(CurrentPort(), nullptr);
        EXPECT_EQ(bench.window.StatusTexts(),
                  std::vector<std::string>{"Error : Failed to initialize COM port"});
    }
}

TEST_F(SerialPortTest, OpeningADeviceThatIsAlreadyOpenFails) {
    auto other_program = test::ValueOf(platform::OpenSerialDevice("COM2"));
    ASSERT_NE(other_program, nullptr);
    EXPECT_EQ(OpenDrivePort(9600, '2', platform::PortMap()), PortResult::kFailed);
    EXPECT_EQ(CurrentPort(), nullptr);
    EXPECT_EQ(bench.window.Text(Display::StatusLine), "Error : Failed to initialize COM port");
    other_program->Close();
    EXPECT_EQ(OpenDrivePort(9600, '2', platform::PortMap()), PortResult::kDone);
}

TEST_F(SerialPortTest, WriteTextOfLengthZeroSendsTheTextWithoutItsTerminator) {
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    EXPECT_EQ(PortWriteText(0, "PROMPT 1\r"), 9);
    bench.clock.Advance(50'000'000);
    EXPECT_EQ(bench.world->HostBytes(), test::BytesOf("PROMPT 1\r"));
}

TEST_F(SerialPortTest, BytesSeenWaitingAreReadInArrivalOrder) {
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    // The init frame makes the drive answer with four bytes: 'N' 'O' and its IdentWord.
    for (int byte : {0xA5, 0x5A, 0x00, 0x02, 0x00, 0x00, 0x33, 0x33}) {
        PortWriteByte(byte);
    }
    int waiting = 0;
    for (int polls = 0; polls < 100 && waiting < 4; ++polls) {
        platform::Sleep(1);
        waiting = PortBytesWaiting();
    }
    ASSERT_EQ(waiting, 4);
    const int first = PortReadByte();
    const int second = PortReadByte();
    const int third = PortReadByte();
    const int fourth = PortReadByte();
    EXPECT_EQ((std::vector<int>{first, second, third, fourth}),
              (std::vector<int>{0x4E, 0x4F, 0x20, 0x83}));
    EXPECT_EQ(PortBytesWaiting(), 0);
}

// The drive's break is flagged until the next report of the line error word; asking for the
// bytes waiting reports (and so clears) the flag too.
TEST_F(SerialPortTest, BytesWaitingClearsABreakFlagUnseen) {
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    ASSERT_EQ(PortSendBreak(), BreakResult::kSent);
    platform::Sleep(bench.world->options().break_delay_ms + 1);
    EXPECT_NE(PortLineErrors() & platform::kLineBreakFlag, 0u);
    platform::Sleep(bench.world->options().break_length_ms + 5);
    PortBytesWaiting();  // the break ended before this report
    EXPECT_EQ(PortLineErrors() & platform::kLineBreakFlag, 0u);
}

TEST_F(SerialPortTest, SendBreakHoldsTheLineInBreakFor100Ms) {
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    const double start_ms = bench.ElapsedMs();
    ASSERT_EQ(PortSendBreak(), BreakResult::kSent);
    EXPECT_DOUBLE_EQ(bench.ElapsedMs() - start_ms, 100.0);
    int host_breaks = 0;
    for (const LineEvent& event : bench.world->Traffic()) {
        if (event.kind == LineEvent::Kind::HostBreak) {
            ++host_breaks;
            EXPECT_EQ(event.end_ns - event.at_ns, 100'000'000);
        }
    }
    EXPECT_EQ(host_breaks, 1);
}

// A write returns once the transmitter holds what is left of it, and a purge cannot take that
// back: the drive's reselection at the end of a seek is followed at once by a purge.
TEST_F(SerialPortTest, PurgeOutputSparesWhatTheTransmitterHolds) {
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    PortWriteText(0, "\\2\r");
    PortPurgeOutput();
    platform::Sleep(10);
    EXPECT_EQ(bench.world->HostBytes(), test::BytesOf("\\2\r"));
}

TEST_F(SerialPortTest, AWriteReturnsWhenAllButTheTransmittersFifoHasGoneOut) {
    ASSERT_EQ(OpenDrivePort(9600, '1', platform::PortMap()), PortResult::kDone);
    const std::string text(100, 'x');
    const double start_ms = bench.ElapsedMs();
    EXPECT_EQ(PortWriteText(0, text.c_str()), 100);
    // Ten bit times a byte at 9600 baud; at most a FIFO's worth of bytes may still be unsent,
    // and at least half of one (a driver refills its FIFO when it runs half empty).
    const double byte_ms = 10.0 * 1000.0 / 9600.0;
    const double fifo = static_cast<double>(platform::kTransmitFifoBytes);
    EXPECT_GE(bench.ElapsedMs() - start_ms, (100 - fifo) * byte_ms);
    EXPECT_LE(bench.ElapsedMs() - start_ms, (100 - fifo / 2 + 1) * byte_ms);
    EXPECT_GE(static_cast<double>(bench.world->HostBytes().size()), 100 - fifo);
}

TEST_F(SerialPortTest, CurrentPortFunctionsWithoutAPortDoNothing) {
    ASSERT_EQ(CurrentPort(), nullptr);
    EXPECT_EQ(PortBytesWaiting(), 0);
    EXPECT_EQ(PortLineErrors(), 0u);
    EXPECT_EQ(PortSendBreak(), BreakResult::kRefused);
    ClosePort();
}

// The numbers the design gives these results.
TEST(PortResults, KeepTheDesignsNumbers) {
    EXPECT_EQ(DesignCode(PortResult::kFailed), 0);
    EXPECT_EQ(DesignCode(PortResult::kDone), 1);
    EXPECT_EQ(DesignCode(BreakResult::kSent), 1);
    EXPECT_EQ(DesignCode(BreakResult::kRefused), -1);
}

}  // namespace
}  // namespace vantor
