// The line itself: byte timing, the host's receive FIFO and queue, purging, settings, close.
#include <gtest/gtest.h>

#include <ostream>

#include <atomic>
#include <thread>

#include "platform/serial/device_address.h"
#include "platform/serial/serial_device.h"
#include "sim/simulated_line.h"
#include "sim_host.h"
#include "support/test_support.h"

namespace vantor::sim::testing {
namespace {

using Kind = LineEvent::Kind;

class LineAtBaud : public ::testing::TestWithParam<std::uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Speeds, LineAtBaud, ::testing::Values(9600u, 19200u));

TEST_P(LineAtBaud, BytesGoOutBackToBackAtTenBitTimesEach) {
    SimHost host("", GetParam());
    const std::int64_t start_ns = host.NowNs();
    host.Send("abc");
    host.WaitMs(10);
    const auto bytes = host.Events(Kind::HostByte);
    ASSERT_EQ(bytes.size(), 3u);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(bytes[i].at_ns, start_ns + static_cast<std::int64_t>(i) * CharNs(GetParam()));
        EXPECT_EQ(bytes[i].value, "abc"[i]);
    }
}

// Catches a line that starts each written byte at the write time instead of after the
// byte still on its way.
TEST_P(LineAtBaud, ByteWrittenDuringAnotherWaitsForItsEnd) {
    SimHost host("", GetParam());
    const std::int64_t char_ns = CharNs(GetParam());
    const std::int64_t start_ns = host.NowNs();
    host.Send("a");
    host.WaitNs(char_ns / 2);
    host.Send("b");
    host.WaitMs(50);
    const std::int64_t late_ns = host.NowNs();
    host.Send("c");
    host.WaitMs(10);
    const auto bytes = host.Events(Kind::HostByte);
    ASSERT_EQ(bytes.size(), 3u);
    EXPECT_EQ(bytes[1].at_ns, start_ns + char_ns);
    EXPECT_EQ(bytes[2].at_ns, late_ns);
}

// The init reply (4 bytes, fewer than the FIFO's trigger) must appear all at once, when the
// line has been quiet for the FIFO's time-out after its last byte.
TEST_P(LineAtBaud, ShortAnswerAppearsAtOnceAfterTheFifoTimeout) {
    SimHost host("", GetParam());
    const std::int64_t char_ns = CharNs(GetParam());
    const std::int64_t sent_ns = host.NowNs();
    host.Send(kInitFrame);
    const std::int64_t reply_ns = sent_ns + 8 * char_ns + 2 * kNsPerMs;
    const std::int64_t delivered_ns = reply_ns + 4 * char_ns + 4 * char_ns;
    host.WaitNs(delivered_ns - 1 - host.NowNs());
    EXPECT_EQ(host.Waiting(), 0u);
    host.WaitNs(1);
    EXPECT_EQ(host.Waiting(), 4u);
}

TEST_P(LineAtBaud, FifoOfOneDeliversEachByteAsItsStopBitEnds) {
    SimHost host("fifo=1", GetParam());
    const std::int64_t char_ns = CharNs(GetParam());
    const std::int64_t reply_ns = host.NowNs() + 8 * char_ns + 2 * kNsPerMs;
    host.Send(kInitFrame);
    for (std::uint32_t byte = 1; byte <= 4; ++byte) {
        host.WaitNs(reply_ns + byte * char_ns - 1 - host.NowNs());
        EXPECT_EQ(host.Waiting(), byte - 1);
        host.WaitNs(1);
        EXPECT_EQ(host.Waiting(), byte);
    }
}

TEST(Line, FifoHandsOnTriggerLevelBytesWithoutWaitingForQuiet) {
    SimHost host("init-length=20");
    const std::int64_t char_ns = CharNs(9600);
    const std::int64_t reply_ns = host.NowNs() + 8 * char_ns + 2 * kNsPerMs;
    host.Send(kInitFrame);
    host.WaitNs(reply_ns + 14 * char_ns - 1 - host.NowNs());
    EXPECT_EQ(host.Waiting(), 0u);
    host.WaitNs(1);
    EXPECT_EQ(host.Waiting(), 14u);
    host.WaitNs(6 * char_ns + 4 * char_ns);
    EXPECT_EQ(host.Waiting(), 20u);
}

// A write is synchronous: it returns once no more than the transmitter's FIFO is unsent, so
// that the host's wait for an answer does not start while its packet is still queued. A
// write that has to wait waits for half a FIFO, as a driver refilling its UART does.
TEST_P(LineAtBaud, WriteReturnsOnceTheTransmitterHoldsTheRest) {
    SimHost host("", GetParam());
    const std::int64_t char_ns = CharNs(GetParam());
    const std::int64_t start_ns = host.NowNs();
    host.Send(std::string(40, 'x'));
    EXPECT_EQ(host.NowNs(), start_ns + (40 - 8) * char_ns);
    host.Send(std::string(8, 'y'));
    EXPECT_EQ(host.NowNs(), start_ns + (40 - 8) * char_ns);
    host.Send("z");
    EXPECT_EQ(host.NowNs(), start_ns + (49 - 8) * char_ns);
}

// What the transmitter holds goes out whatever follows; a purge right after a write
// therefore takes nothing back.
TEST(Line, PurgeAfterAWriteTakesNothingBack) {
    SimHost host;
    host.Send(std::string(40, 'x'));
    ASSERT_TRUE(host.line.Purge(platform::kPurgeTxClear));
    host.WaitMs(100);
    EXPECT_EQ(host.world().HostBytes().size(), 40u);
    const auto purges = host.Events(Kind::HostPurgeTx);
    ASSERT_EQ(purges.size(), 1u);
    EXPECT_EQ(purges[0].value, 0);
}

// Behind a break, a write cannot drain (and must not hang): the purge drops what the
// transmitter does not hold.
TEST(Line, PurgeDropsWhatWaitsBehindTheTransmitter) {
    SimHost host;
    host.line.SetBreak();
    host.Send("0123456789ABCDEFGHIJ");
    ASSERT_TRUE(host.line.Purge(platform::kPurgeTxClear));
    host.line.ClearBreak();
    host.WaitMs(100);
    EXPECT_EQ(host.world().HostBytes(), test::BytesOf("0123456789ABCDEF"));
    EXPECT_EQ(host.Events(Kind::HostPurgeTx).at(0).value, 4);
}

TEST(Line, PurgeOfReceiveEmptiesTheQueue) {
    SimHost host;
    host.Send(kInitFrame);
    host.WaitMs(100);
    ASSERT_EQ(host.Waiting(), 4u);
    ASSERT_TRUE(host.line.Purge(platform::kPurgeRxClear));
    EXPECT_EQ(host.Waiting(), 0u);
    EXPECT_TRUE(host.ReadAll().empty());
    const auto purges = host.Events(Kind::HostPurgeRx);
    ASSERT_EQ(purges.size(), 1u);
    EXPECT_EQ(purges[0].value, 4);
}

struct QueueCase {
    std::string options;
    std::uint32_t queue_bytes;  // 0: the default size
    std::vector<std::uint8_t> request;
    std::uint32_t expected_waiting;
    bool overflows;
};

void PrintTo(const QueueCase& c, std::ostream* os) {
    *os << "\"" << c.options << "\"";
}

class ReceiveQueueLimit : public ::testing::TestWithParam<QueueCase> {};

// An 'RD' packet asking for 3000 bytes: more than the default queue of 2048 holds.
const std::vector<std::uint8_t> kLongRead = Packet(Words({0x5244, 0, 0, 3000}));

INSTANTIATE_TEST_SUITE_P(
    Sizes, ReceiveQueueLimit,
    ::testing::Values(QueueCase{"init-length=40", 16, kInitFrame, 16, true},
                      QueueCase{"", 0, kLongRead, 2048, true},
                      // 'ak', 'RD', the status, the count and the 3000 data bytes.
                      QueueCase{"", 4096, kLongRead, 3008, false}));

TEST_P(ReceiveQueueLimit, OverflowDropsBytesAndIsReportedOnce) {
    SimHost host(GetParam().options);
    if (GetParam().queue_bytes != 0) {
        ASSERT_TRUE(host.line.SetQueueSizes(GetParam().queue_bytes, GetParam().queue_bytes));
    }
    host.Send(GetParam().request);
    host.WaitMs(5000);
    std::uint32_t waiting = 0;
    const std::uint32_t errors = host.Errors(&waiting);
    EXPECT_EQ(waiting, GetParam().expected_waiting);
    EXPECT_EQ((errors & platform::kLineErrorRxOverflow) != 0, GetParam().overflows);
    EXPECT_EQ(host.Errors() & platform::kLineErrorRxOverflow, 0u);
}

TEST(Line, ReadTakesAtMostWhatIsAskedAndNeverWaits) {
    SimHost host;
    std::uint8_t buffer[8] = {};
    std::size_t got = 99;
    ASSERT_TRUE(host.line.Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    host.Send(kInitFrame);
    host.WaitMs(100);
    ASSERT_TRUE(host.line.Read(buffer, 2, got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 0x4E);
    EXPECT_EQ(host.Waiting(), 2u);
    EXPECT_EQ(host.ReadAll(), Words({0x2083}));
}

TEST(Line, SettingsAreKeptAsSetAndTheRateTimesTheBytes) {
    SimHost host;
    platform::LineSettings settings{19200, 7, 2, 1, 0xABCDEF};
    ASSERT_TRUE(host.line.SetSettings(settings));
    platform::LineSettings read_back;
    ASSERT_TRUE(host.line.GetSettings(read_back));
    EXPECT_EQ(read_back.BaudRate, 19200u);
    EXPECT_EQ(read_back.ByteSize, 7);
    EXPECT_EQ(read_back.Parity, 2);
    EXPECT_EQ(read_back.StopBits, 1);
    EXPECT_EQ(read_back.Other, 0xABCDEFu);
    const std::int64_t start_ns = host.NowNs();
    host.Send("ab");
    host.WaitMs(5);
    EXPECT_EQ(host.Events(Kind::HostByte)[1].at_ns, start_ns + CharNs(19200));
}

TEST(Line, RefusesImpossibleSettingsAndQueueSizes) {
    SimHost host;
    platform::LineSettings settings;
    settings.BaudRate = 0;
    EXPECT_FALSE(host.line.SetSettings(settings));
    EXPECT_FALSE(host.line.SetQueueSizes(0, 2048));
}

// The reset frame is written just before the port is closed: closing must not lose it.
TEST(Line, CloseFailsLaterCallsButLetsWrittenBytesGoOut) {
    SimHost host;
    host.Send(kResetFrame);
    ASSERT_TRUE(host.line.Close());
    host.WaitMs(50);
    EXPECT_EQ(host.world().ResetCount(), 1);
    platform::LineSettings settings;
    std::uint8_t byte = 0;
    std::size_t count = 0;
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    EXPECT_FALSE(host.line.GetSettings(settings));
    EXPECT_FALSE(host.line.SetSettings(settings));
    EXPECT_FALSE(host.line.SetQueueSizes(16, 16));
    EXPECT_FALSE(host.line.Read(&byte, 1, count));
    EXPECT_FALSE(host.line.Write(&byte, 1, count));
    EXPECT_FALSE(host.line.ClearError(errors, waiting));
    EXPECT_FALSE(host.line.Purge(platform::kPurgeRxClear));
    EXPECT_FALSE(host.line.SetBreak());
    EXPECT_FALSE(host.line.ClearBreak());
    EXPECT_FALSE(host.line.Close());
}

TEST(Line, PortReopenedOnTheSameWorldStartsWithEmptyBuffers) {
    SimHost host;
    host.Send(kInitFrame);
    host.WaitMs(100);
    host.line.Close();
    SimulatedLine reopened(host.bench.world);
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    ASSERT_TRUE(reopened.ClearError(errors, waiting));
    EXPECT_EQ(waiting, 0u);
}

TEST(Line, OpenedThroughTheSimDeviceAddress) {
    RegisterSimulatedDeviceScheme();
    std::string error;
    auto device = test::ValueOf(platform::OpenSerialDevice("sim:ident=0x1AC5"));
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->Close());
    error = platform::OpenSerialDevice("sim:bogus").reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("bogus"), std::string::npos) << error;
}

// Catches a world that is not locked: run under ThreadSanitizer, a test inspecting the world
// while a worker drives it must show no race, and the counts must add up.
TEST(Line, WorldCanBeInspectedFromAnotherThreadWhileTheHostWorks) {
    SimHost host;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int packet = 0; packet < 50; ++packet) {
            host.Send(Packet(Words({0x5752, static_cast<std::uint16_t>(packet)})));
            for (int poll = 0; poll < 30; ++poll) {
                host.WaitMs(1);
                host.Waiting();
            }
            host.ReadAll();
        }
        done = true;
    });
    std::size_t seen = 0;
    test::AwaitOrAbort(
        [&] {
            seen = std::max(seen, host.world().AcceptedPackets().size());
            host.world().Traffic();
            return done.load();
        },
        std::chrono::seconds(60), "the host on the worker thread did not finish");
    worker.join();
    EXPECT_EQ(host.world().AcceptedPackets().size(), 50u);
    EXPECT_LE(seen, 50u);
}

}  // namespace
}  // namespace vantor::sim::testing
