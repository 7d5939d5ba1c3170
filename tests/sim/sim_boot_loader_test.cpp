// The drive's boot loader: the init reply, the reset frame and the packet exchange.
#include <gtest/gtest.h>

#include <ostream>

#include "platform/serial/serial_device.h"
#include "sim_host.h"

namespace vantor::sim::testing {
namespace {

using Kind = LineEvent::Kind;
using Bytes = std::vector<std::uint8_t>;

struct InitCase {
    std::string options;
    Bytes reply;  // what waits 100 ms after the init frame
};

void PrintTo(const InitCase& c, std::ostream* os) {
    *os << "\"" << c.options << "\"";
}

class InitReply : public ::testing::TestWithParam<InitCase> {};

INSTANTIATE_TEST_SUITE_P(
    Drives, InitReply,
    ::testing::Values(InitCase{"", Words({0x4E4F, 0x2083})},
                      InitCase{"ident=0x1AC5", Words({0x4E4F, 0x1AC5})},
                      InitCase{"init-ack=0x616B", Words({0x616B, 0x2083})},
                      InitCase{"init-length=3", Bytes{0x4E, 0x4F, 0x20}},
                      InitCase{"init-length=0", Bytes{}},
                      InitCase{"init-length=6", Concat(Words({0x4E4F, 0x2083}), {0, 0})},
                      InitCase{"stray=1", Concat({0x00}, Words({0x4E4F, 0x2083}))},
                      InitCase{"init-delay=150", Bytes{}}));

TEST_P(InitReply, AnswersTheInitFrame) {
    SimHost host(GetParam().options);
    host.Send(kInitFrame);
    EXPECT_EQ(host.AnswerAfterMs(100), GetParam().reply);
}

TEST(InitReply, LateReplyArrivesAfterItsDelay) {
    SimHost host("init-delay=150");
    host.Send(kInitFrame);
    EXPECT_EQ(host.AnswerAfterMs(200), Words({0x4E4F, 0x2083}));
}

TEST(InitReply, BeginsTheInitDelayAfterTheFramesLastByte) {
    SimHost host("init-delay=7");
    const std::int64_t end_ns = host.NowNs() + 8 * CharNs(9600);
    host.Send(kInitFrame);
    host.WaitMs(100);
    const auto bytes = host.Events(Kind::DriveByte);
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(bytes[0].at_ns, end_ns + 7 * kNsPerMs);
}

TEST(ResetFrame, IsCountedAndNotAnswered) {
    SimHost host;
    host.Send(kResetFrame);
    host.WaitMs(500);
    EXPECT_EQ(host.world().ResetCount(), 1);
    EXPECT_TRUE(host.world().DriveBytes().empty());
    EXPECT_TRUE(host.world().AcceptedPackets().empty());
    EXPECT_EQ(host.world().Mode(), DriveMode::BootLoader);
}

TEST(ResetFrame, SendsADriveWithAnAddressBackToCommandMode) {
    SimHost host("address=4");
    host.Send("\\4\r\rPrompt 1\rpassword qa736\rOrrim\r");
    host.WaitMs(100);
    ASSERT_EQ(host.world().Mode(4), DriveMode::BootLoader);
    host.Send(kResetFrame);
    host.WaitMs(100);
    EXPECT_EQ(host.world().ResetCount(), 1);
    EXPECT_EQ(host.world().Mode(4), DriveMode::CommandMode);
}

struct PacketCase {
    std::string name;
    std::string options;
    Bytes packet;
    Bytes answer;  // everything the drive sends for one send of the packet
};

class PacketAnswer : public ::testing::TestWithParam<PacketCase> {};

const Bytes kWrite = Packet(Words({0x5752, 0x0000, 0x1000, 0x1234}));
const Bytes kAck = Words({0x616B});

Bytes WithBadChecksum(Bytes packet) {
    packet.back() ^= 0x01;
    return packet;
}

Bytes ReadAnswer(std::uint16_t count) {
    Bytes answer = Concat(kAck, Words({0x5244, 0x0000, count}));
    for (std::uint16_t i = 0; i < count; ++i) {
        answer.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    }
    return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Packets, PacketAnswer,
    ::testing::Values(
        PacketCase{"Write", "", kWrite, Concat(kAck, Words({0x5752, 0x0000}))},
        PacketCase{"Erase", "", Packet(Words({0x4552, 1})), Concat(kAck, Words({0x4552, 0}))},
        PacketCase{"Execute", "", Packet(Words({0x4558, 1})), Concat(kAck, Words({0x4558, 0}))},
        PacketCase{"UnknownCommand", "", Packet(Words({0x5A5A, 1})),
                   Concat(kAck, Words({0x3F3F, 0}))},
        PacketCase{"EmptyPayload", "", Packet({}), Concat(kAck, Words({0x3F3F, 0}))},
        PacketCase{"Read", "", Packet(Words({0x5244, 0, 0, 5})), ReadAnswer(5)},
        PacketCase{"ReadOfNothing", "", Packet(Words({0x5244, 0, 0, 0})), ReadAnswer(0)},
        PacketCase{"ShortRead", "", Packet(Words({0x5244, 0})), ReadAnswer(0)},
        PacketCase{"ReadWithBadStatusHasNoData", "status=0x0080", Packet(Words({0x5244, 0, 0, 5})),
                   Concat(kAck, Words({0x5244, 0x0080}))},
        PacketCase{"ResponseOverride", "response=??", kWrite, Concat(kAck, Words({0x3F3F, 0}))},
        PacketCase{"ResponseOverrideAsWord", "response=0x4552", kWrite,
                   Concat(kAck, Words({0x4552, 0}))},
        PacketCase{"ProtectedMemory", "status=0x0080", kWrite,
                   Concat(kAck, Words({0x5752, 0x0080}))},
        PacketCase{"NoResponse", "no-response", kWrite, kAck},
        PacketCase{"StrayBytes", "stray=2", kWrite,
                   Concat(Bytes{0, 0, 0x61, 0x6B, 0, 0}, Words({0x5752, 0}))},
        PacketCase{"RefusedFirstSend", "refuse-first", kWrite, Words({0x4E4F, 0x0000})},
        PacketCase{"SilentFirstSend", "ack-on-send=2", kWrite, Bytes{}},
        PacketCase{"BadChecksum", "", WithBadChecksum(kWrite), Words({0x4E4F, 0x0001})},
        // The length word 16399 is refused as soon as it has arrived.
        PacketCase{"TooLong", "", Words({0xA55A, 16399}), Words({0x4E4F, 0x0002})},
        PacketCase{"LongestPayload", "", Packet(Bytes(16398, 0x11)),
                   Concat(kAck, Words({0x3F3F, 0}))}),
    [](const ::testing::TestParamInfo<PacketCase>& param_info) { return param_info.param.name; });

TEST_P(PacketAnswer, DriveAnswersOneSend) {
    SimHost host(GetParam().options, 19200);
    host.Send(GetParam().packet);
    host.WaitMs(12000);
    EXPECT_EQ(host.ReadAll(), GetParam().answer);
}

// Catches an ack or response sent at the wrong moment (the host's poll budgets count on it).
TEST(PacketExchange, AckFollowsThePacketAndTheResponseFollowsTheAck) {
    SimHost host("ack-delay=3,process-ms=20");
    const std::int64_t end_ns =
        host.NowNs() + static_cast<std::int64_t>(kWrite.size()) * CharNs(9600);
    host.Send(kWrite);
    host.WaitMs(100);
    const auto bytes = host.Events(Kind::DriveByte);
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(bytes[0].at_ns, end_ns + 3 * kNsPerMs);
    EXPECT_EQ(bytes[2].at_ns, end_ns + 23 * kNsPerMs);
}

TEST(PacketExchange, AcceptedPacketsAreRecordedInOrderWithEveryResend) {
    SimHost host;
    const Bytes first = Packet(Words({0x4552, 1}));
    for (const Bytes& packet : {first, kWrite, kWrite}) {
        host.Send(packet);
        host.WaitMs(50);
    }
    host.Send(WithBadChecksum(kWrite));
    host.WaitMs(50);
    const auto accepted = host.world().AcceptedPackets();
    ASSERT_EQ(accepted.size(), 3u);
    EXPECT_EQ(accepted[0], first);
    EXPECT_EQ(accepted[1], kWrite);
    EXPECT_EQ(accepted[2], kWrite);
}

struct SendCountCase {
    std::string options;
    std::vector<bool> acked;  // per send of the same packet, with a resync before each resend
};

void PrintTo(const SendCountCase& c, std::ostream* os) {
    *os << "\"" << c.options << "\"";
}

class SendCount : public ::testing::TestWithParam<SendCountCase> {};

INSTANTIATE_TEST_SUITE_P(Drives, SendCount,
                         ::testing::Values(SendCountCase{"", {true, true, true}},
                                           SendCountCase{"ack-on-send=3", {false, false, true}},
                                           SendCountCase{"refuse-first", {false, true, true}},
                                           SendCountCase{"ack-on-send=2,refuse-first",
                                                         {false, true, true}}));

// The host resynchronises before each resend; the drive must keep counting across breaks.
TEST_P(SendCount, AcksTheSendsTheOptionsSay) {
    SimHost host(GetParam().options);
    for (std::size_t send = 0; send < GetParam().acked.size(); ++send) {
        if (send > 0) {
            host.SendBreak(100);
            host.WaitMs(400);
            host.line.Purge(platform::kPurgeRxClear);
        }
        host.Send(kWrite);
        const Bytes answer = host.AnswerAfterMs(100);
        EXPECT_EQ(answer.size() >= 2 && answer[0] == 0x61 && answer[1] == 0x6B,
                  GetParam().acked[send])
            << "send " << send + 1;
    }
}

TEST(PacketExchange, DifferentPacketStartsTheCountAgain) {
    SimHost host("ack-on-send=2");
    host.Send(kWrite);
    EXPECT_TRUE(host.AnswerAfterMs(100).empty());
    host.Send(Packet(Words({0x4552, 1})));
    EXPECT_TRUE(host.AnswerAfterMs(100).empty());
    host.Send(Packet(Words({0x4552, 1})));
    EXPECT_EQ(host.AnswerAfterMs(100), Concat(kAck, Words({0x4552, 0})));
}

// A break resynchronises the boot loader: what it had not yet sent is dropped.
TEST(PacketExchange, BreakDropsAnswersNotYetSent) {
    SimHost host("process-ms=500");
    host.Send(kWrite);
    host.WaitMs(100);
    ASSERT_EQ(host.ReadAll(), kAck);
    host.SendBreak(100);
    host.WaitMs(1000);
    EXPECT_TRUE(host.ReadAll().empty());
}

TEST(PacketExchange, DriveWithoutAddressIgnoresCommandTexts) {
    SimHost host;
    host.Send("\\0\rPROMPT 1\r\r");
    host.WaitMs(100);
    EXPECT_EQ(host.Waiting(), 0u);
    EXPECT_EQ(host.world().Mode(), DriveMode::BootLoader);
    host.Send(kInitFrame);
    EXPECT_EQ(host.AnswerAfterMs(100), Words({0x4E4F, 0x2083}));
}

}  // namespace
}  // namespace vantor::sim::testing
