// The RFC 2217 backend over loopback TCP: against the simulator's server code in front of a
// loopback plug, and against scripted peers for the negotiation's corner cases.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "network_peers.h"
#include "platform/clock.h"
#include "platform/serial/device_address.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/serial/rfc2217_telnet.h"
#include "platform/serial/round_trip.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

using namespace telnet;
using Bytes = std::vector<std::uint8_t>;

// Asks again until `condition` holds, while the bytes cross the loopback connection; gives up
// after a bound that only a broken peer reaches.
bool NetworkEventually(const std::function<bool()>& condition) {
    return test::Eventually(condition, std::chrono::seconds(3));
}

Bytes AllByteValues() {
    Bytes bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

class Rfc2217Loopback : public testing::Test {
  protected:
    void SetUp() override {
        device = test::ValueOf(OpenRfc2217Device(server.Address()));
        ASSERT_NE(device, nullptr);
    }

    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    bool Report() { return device->ClearError(errors, waiting); }

    test::LoopbackServer server;
    std::unique_ptr<SerialDevice> device;
};

// Catches 0xFF not doubled (or not undoubled) on either way through the network.
TEST_F(Rfc2217Loopback, EveryByteValueMakesTheRoundTrip) {
    const Bytes all = AllByteValues();
    std::size_t written = 0;
    ASSERT_TRUE(device->Write(all.data(), all.size(), written));
    EXPECT_EQ(written, all.size());
    ASSERT_TRUE(NetworkEventually([&] { return Report() && waiting >= 256; }));
    Bytes back(300);
    std::size_t got = 0;
    ASSERT_TRUE(device->Read(back.data(), back.size(), got));
    back.resize(got);
    EXPECT_EQ(back, all);
}

TEST_F(Rfc2217Loopback, BreakSentIsReceivedAsTheBreakFlagOnce) {
    ASSERT_TRUE(device->SetBreak());
    ASSERT_TRUE(device->ClearBreak());
    ASSERT_TRUE(NetworkEventually([&] { return Report() && (errors & kLineBreakFlag) != 0; }));
    EXPECT_EQ(server.plug.BreaksSent(), 1);
    ASSERT_TRUE(Report());
    EXPECT_EQ(errors & kLineBreakFlag, 0u) << "the report clears the flag";
}

TEST_F(Rfc2217Loopback, SettingsReachTheServersLine) {
    ASSERT_TRUE(device->SetSettings({19200, 7, 2, 2, 0}));
    ASSERT_TRUE(NetworkEventually([&] { return server.plug.Settings().BaudRate == 19200; }));
    ASSERT_TRUE(NetworkEventually([&] { return server.plug.Settings().StopBits == 2; }));
    const LineSettings settings = server.plug.Settings();
    EXPECT_EQ(settings.ByteSize, 7);
    EXPECT_EQ(settings.Parity, 2);
    LineSettings kept;
    ASSERT_TRUE(device->GetSettings(kept));
    EXPECT_EQ(kept.BaudRate, 19200u);
}

TEST_F(Rfc2217Loopback, PurgeEmptiesTheLocalQueueAndTheServers) {
    const Bytes bytes = {1, 2, 3};
    std::size_t written = 0;
    ASSERT_TRUE(device->Write(bytes.data(), bytes.size(), written));
    ASSERT_TRUE(NetworkEventually([&] { return Report() && waiting == 3; }));
    ASSERT_TRUE(device->Purge(kPurgeRxClear | kPurgeTxClear));
    ASSERT_TRUE(Report());
    EXPECT_EQ(waiting, 0u);
    // Three purges opened the port, this is the fourth.
    EXPECT_TRUE(NetworkEventually([&] { return server.plug.Purges() == 4; }));
}

// The link's waits end with a fence's answer, behind which everything the server took from the
// line before it has arrived: through the device as the link opens it, wrappers included.
TEST(Rfc2217Fence, AnswerComesAfterWhatTheServerHadOfTheLine) {
    test::LoopbackServer server;
    auto opened = test::ValueOf(OpenSerialDevice(server.Address()));
    ASSERT_NE(opened, nullptr);
    const Bytes bytes = {0x55, 0xFF, 0x0D};
    std::size_t written = 0;
    ASSERT_TRUE(opened->Write(bytes.data(), bytes.size(), written));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the plug echoes them
    const std::uint64_t fence = opened->SendFence();
    ASSERT_NE(fence, 0u);
    ASSERT_TRUE(NetworkEventually([&] { return opened->FenceAnswered(fence); }));
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    ASSERT_TRUE(opened->ClearError(errors, waiting));
    EXPECT_EQ(waiting, 3u);
}

// A write returns once its bytes have left this end at line rate; the server sends them later.
// A transmit purge right after it (the switch into the boot loader right after the address
// selection) must not drop them on the server.
TEST_F(Rfc2217Loopback, TransmitPurgeAfterAWriteDropsNoneOfItsBytes) {
    ASSERT_TRUE(device->SetSettings({19200, 8, 0, 0, 0}));
    const Bytes all = AllByteValues();
    std::size_t written = 0;
    ASSERT_TRUE(device->Write(all.data(), all.size(), written));
    ASSERT_TRUE(device->Purge(kPurgeTxClear));
    ASSERT_TRUE(NetworkEventually([&] { return Report() && waiting >= 256; }));
    Bytes back(300);
    std::size_t got = 0;
    ASSERT_TRUE(device->Read(back.data(), back.size(), got));
    back.resize(got);
    EXPECT_EQ(back, all);
}

// Catches a closed connection leaving the device polling a dead socket or offering stale bytes.
TEST_F(Rfc2217Loopback, ServerGoneMakesEveryCallFailAndCloseStillWorks) {
    server.Stop();
    EXPECT_TRUE(NetworkEventually([&] { return !Report(); }));
    EXPECT_EQ(waiting, 0u);
    std::uint8_t byte = 0;
    std::size_t count = 0;
    EXPECT_FALSE(device->Read(&byte, 1, count));
    EXPECT_FALSE(device->Write(&byte, 1, count));
    EXPECT_FALSE(device->SetBreak());
    EXPECT_TRUE(device->Close());
}

// Opening against peers that fail in one way or another, on the virtual clock so that the
// open's time budget passes at once.
class Rfc2217OpenFailures : public testing::Test {
  protected:
    VirtualClock clock{1'000'000'000};
    ScopedClock scoped{clock};
};

TEST_F(Rfc2217OpenFailures, SilentServerFailsWhenTheBudgetIsUsedUp) {
    test::ScriptedPeer peer({});
    const std::int64_t start_ns = clock.NowNs();
    std::string error;
    error = OpenRfc2217Device(peer.Address()).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("no serial port control"), std::string::npos) << error;
    EXPECT_GE(clock.NowNs() - start_ns, std::int64_t{kRfc2217OpenBudgetMs} * 1'000'000);
    EXPECT_LE(clock.NowNs() - start_ns, std::int64_t{kRfc2217OpenBudgetMs + 10} * 1'000'000);
}

TEST(Rfc2217Open, ServerRefusingSerialPortControlFailsAtOnce) {
    test::ScriptedPeer peer({kIac, kDont, kOptionComPort});
    std::string error;
    error = OpenRfc2217Device(peer.Address()).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("does not offer serial port control"), std::string::npos) << error;
}

TEST(Rfc2217Open, NobodyListeningFailsWithTheSystemsReason) {
    int port = 0;
    {
        test::Listener closed_soon;
        port = closed_soon.port();
    }
    std::string error;
    const std::string address = "rfc2217://127.0.0.1:" + std::to_string(port);
    error = OpenRfc2217Device(address).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << error;
}

class Rfc2217BadAddresses : public testing::TestWithParam<const char*> {};

TEST_P(Rfc2217BadAddresses, AreRefusedWithTheFormToUse) {
    std::string error;
    error = OpenRfc2217Device(GetParam()).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("is not rfc2217://HOST:PORT"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Forms, Rfc2217BadAddresses,
                         testing::Values("rfc2217://", "rfc2217://localhost", "rfc2217://:4000",
                                         "rfc2217://localhost:0", "rfc2217://localhost:65536",
                                         "rfc2217://localhost:40x0", "rfc2217://[::1:4000",
                                         "rfc2217://::1:4000"));

// Catches negotiation loops and a client that agrees to options it cannot perform.
TEST(Rfc2217Negotiation, UnknownOptionsAreRefusedOnceAndTheOpenGoesOn) {
    test::ScriptedPeer peer({kIac, kWill, kOptionEcho, kIac, kDo, 24, kIac, kWill, kOptionEcho,
                             kIac, kDo, 24, kIac, kDo, kOptionComPort});
    auto device = test::ValueOf(OpenRfc2217Device(peer.Address()));
    ASSERT_NE(device, nullptr);
    const Bytes refuse_echo = {kIac, kDont, kOptionEcho};
    const Bytes refuse_terminal_type = {kIac, kWont, 24};
    const Bytes mask = {kIac, kSb, kOptionComPort, kComSetLineStateMask, kLineStateBreak,
                        kIac, kSe};
    Bytes received;
    ASSERT_TRUE(NetworkEventually([&] {
        received = peer.Received();
        return std::search(received.begin(), received.end(), mask.begin(), mask.end()) !=
               received.end();
    }));
    const auto count = [&](const Bytes& what) {
        int found = 0;
        for (auto at = received.begin();
             (at = std::search(at, received.end(), what.begin(), what.end())) != received.end();
             ++at) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count(refuse_echo), 1);
    EXPECT_EQ(count(refuse_terminal_type), 1);
}

TEST(Rfc2217LineState, NotificationsWithoutTheBreakBitLeaveTheFlagClear) {
    // The server's answer to the opening purge comes first: data after it is the drive's.
    test::ScriptedPeer peer({kIac, kDo, kOptionComPort, kIac, kSb, kOptionComPort, 112, 3, kIac,
                             kSe, kIac, kSb, kOptionComPort, 106, 0x60, kIac, kSe, 0x41});
    auto device = test::ValueOf(OpenRfc2217Device(peer.Address()));
    ASSERT_NE(device, nullptr);
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    ASSERT_TRUE(
        NetworkEventually([&] { return device->ClearError(errors, waiting) && waiting == 1; }));
    EXPECT_EQ(errors & kLineBreakFlag, 0u);
}

TEST(RoundTripEstimate, FollowsTheNetworkButNotOneSlowExchange) {
    constexpr std::int64_t kMs = 1'000'000;
    RoundTripEstimate estimate;
    EXPECT_EQ(estimate.AnswerDelayMs(), 0);
    // A packet lost at open made one exchange 416 ms; the fastest one starts the estimate.
    const std::int64_t open[] = {416 * kMs, 123 * kMs, 125 * kMs};
    estimate.Start(open, 3);
    EXPECT_EQ(estimate.MeanMs(), 123);
    EXPECT_EQ(estimate.AnswerDelayMs(), 246);
    for (int i = 0; i < 40; ++i) {
        estimate.Add(123 * kMs);
    }
    const int settled = estimate.AnswerDelayMs();
    EXPECT_EQ(settled, 133);  // the mean and the least spread
    estimate.Add(600 * kMs);
    EXPECT_EQ(estimate.AnswerDelayMs(), settled);
    estimate.Add(123 * kMs);
    EXPECT_EQ(estimate.AnswerDelayMs(), settled);
    // A network that became slower is followed from the second slow exchange on.
    estimate.Add(300 * kMs);
    estimate.Add(300 * kMs);
    EXPECT_GT(estimate.AnswerDelayMs(), 300);
    for (int i = 0; i < 10; ++i) {
        estimate.Add(5000 * kMs);
    }
    EXPECT_EQ(estimate.AnswerDelayMs(), RoundTripEstimate::kMaxAnswerDelayMs);
}

TEST(Rfc2217Commands, BreakAndPurgeGoOutAsSerialPortControlCommands) {
    test::ScriptedPeer peer({kIac, kDo, kOptionComPort});
    auto device = test::ValueOf(OpenRfc2217Device(peer.Address()));
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->SetBreak());
    ASSERT_TRUE(device->ClearBreak());
    ASSERT_TRUE(device->Purge(kPurgeRxClear));
    ASSERT_TRUE(device->SetSettings({0x0000FFFF, 8, 0, 0, 0}));
    Bytes expected;
    AppendComPortCommand(kComSetControl, {kControlBreakOn}, expected);
    AppendComPortCommand(kComSetControl, {kControlBreakOff}, expected);
    AppendComPortCommand(kComPurgeData, {kPurgeServerReceive}, expected);
    // A baud rate with 0xFF in it is doubled inside the command.
    expected.insert(expected.end(), {kIac, kSb, kOptionComPort, kComSetBaudRate, 0, 0, 0xFF, 0xFF,
                                     0xFF, 0xFF, kIac, kSe});
    Bytes received;
    ASSERT_TRUE(NetworkEventually([&] {
        received = peer.Received();
        return std::search(received.begin(), received.end(), expected.begin(), expected.end()) !=
               received.end();
    }));
}

}  // namespace
}  // namespace vantor::platform

namespace vantor::test {
namespace {

using namespace platform::telnet;
using Bytes = std::vector<std::uint8_t>;

// A bare TCP client for the server's side of the protocol.
class RawClient {
  public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void Send(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Everything received until `wanted` appears in it, or nothing more comes for a while.
    Bytes ReceiveUntil(const Bytes& wanted) {
        while (std::search(received_.begin(), received_.end(), wanted.begin(), wanted.end()) ==
               received_.end()) {
            pollfd entry{fd_, POLLIN, 0};
            std::uint8_t chunk[512];
            if (::poll(&entry, 1, 2000) <= 0) {
                break;
            }
            const ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
            if (got <= 0) {
                break;
            }
            received_.insert(received_.end(), chunk, chunk + got);
        }
        return received_;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    Bytes received_;
};

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class Rfc2217Server : public testing::Test {
  protected:
    LoopbackServer server;
    RawClient client{std::stoi(server.Address().substr(server.Address().rfind(':') + 1))};
};

TEST_F(Rfc2217Server, OffersBinaryAndAsksForSerialPortControl) {
    ASSERT_TRUE(client.connected());
    const Bytes asks = {kIac, kDo, kOptionComPort};
    const Bytes received = client.ReceiveUntil(asks);
    EXPECT_TRUE(Contains(received, {kIac, kWill, kOptionBinary}));
    EXPECT_TRUE(Contains(received, {kIac, kDo, kOptionBinary}));
    EXPECT_TRUE(Contains(received, asks));
}

// Catches a server that answers a query by changing the line, or does not answer it.
TEST_F(Rfc2217Server, SettingQueriesAreAnsweredWithTheCurrentValues) {
    ASSERT_TRUE(client.connected());
    Bytes queries;
    AppendComPortCommand(kComSetBaudRate, BigEndian32(0), queries);
    AppendComPortCommand(kComSetParity, {0}, queries);
    AppendComPortCommand(kComSignature, {}, queries);
    client.Send(queries);
    Bytes baud_reply;
    AppendComPortCommand(kComSetBaudRate + kServerCommandOffset, BigEndian32(9600), baud_reply);
    Bytes parity_reply;
    AppendComPortCommand(kComSetParity + kServerCommandOffset, {1}, parity_reply);
    const Bytes signature = {kIac, kSb, kOptionComPort, kComSignature + kServerCommandOffset, 'v'};
    const Bytes received = client.ReceiveUntil(signature);
    EXPECT_TRUE(Contains(received, baud_reply));
    EXPECT_TRUE(Contains(received, parity_reply));
    EXPECT_TRUE(Contains(received, signature));
    EXPECT_EQ(server.plug.Settings().BaudRate, 9600u);
}

// Catches line state sent to a client that never asked for it, or never sent once it has.
TEST_F(Rfc2217Server, BreakIsReportedOnlyOnceTheClientAskedForIt) {
    ASSERT_TRUE(client.connected());
    Bytes break_on_off;
    AppendComPortCommand(kComSetControl, {kControlBreakOn}, break_on_off);
    AppendComPortCommand(kComSetControl, {kControlBreakOff}, break_on_off);
    Bytes break_off_reply;
    AppendComPortCommand(kComSetControl + kServerCommandOffset, {kControlBreakOff},
                         break_off_reply);
    Bytes notify;
    AppendComPortCommand(kComNotifyLineState + kServerCommandOffset, {kLineStateBreak}, notify);
    client.Send(break_on_off);
    EXPECT_FALSE(Contains(client.ReceiveUntil(break_off_reply), notify));

    Bytes mask;
    AppendComPortCommand(kComSetLineStateMask, {kLineStateBreak}, mask);
    client.Send(mask);
    client.Send(break_on_off);
    EXPECT_TRUE(Contains(client.ReceiveUntil(notify), notify));
    EXPECT_EQ(server.plug.BreaksSent(), 2);
}

struct ControlCase {
    const char* name;
    Bytes sent;      // SET-CONTROL values, in order
    Bytes answered;  // the server's answers, in order
};

class ServerControl : public testing::TestWithParam<ControlCase> {};

// Catches a server that echoes a query or acknowledges a flow control it does not do: a client
// then believes a state the line is not in.
TEST_P(ServerControl, IsAnsweredWithTheStateItLeaves) {
    LoopbackServer server;
    RawClient client{std::stoi(server.Address().substr(server.Address().rfind(':') + 1))};
    ASSERT_TRUE(client.connected());
    Bytes commands;
    Bytes answers;
    for (const std::uint8_t value : GetParam().sent) {
        AppendComPortCommand(kComSetControl, {value}, commands);
    }
    for (const std::uint8_t value : GetParam().answered) {
        AppendComPortCommand(kComSetControl + kServerCommandOffset, {value}, answers);
    }
    client.Send(commands);
    EXPECT_TRUE(Contains(client.ReceiveUntil(answers), answers));
}

INSTANTIATE_TEST_SUITE_P(
    Queries, ServerControl,
    testing::Values(ControlCase{"Break", {4, 5, 4, 6, 4}, {6, 5, 5, 6, 6}},
                    ControlCase{"Dtr", {7, 9, 7, 8}, {8, 9, 9, 8}},
                    ControlCase{"Rts", {10, 12, 10}, {11, 12, 12}},
                    ControlCase{"OutboundFlowControl", {0, 2, 3, 17, 1}, {1, 1, 1, 1, 1}},
                    ControlCase{"InboundFlowControl", {13, 15, 16, 14}, {14, 14, 14, 14}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Some clients (pyserial's) cannot tell a line's modem state until the server has sent it.
TEST_F(Rfc2217Server, ModemStateIsToldOnceTheClientTakesUpSerialPortControl) {
    ASSERT_TRUE(client.connected());
    Bytes notify;
    AppendComPortCommand(kComNotifyModemState + kServerCommandOffset, {0}, notify);
    client.Send({kIac, kWill, kOptionComPort});
    EXPECT_TRUE(Contains(client.ReceiveUntil(notify), notify));
}

// The bytes 'A' and 'B' that the loopback plug sends back to a raw client on `fd`, until `count`
// of `last` have come or 10 s have passed.
Bytes LoopedBack(int fd, std::uint8_t last, long count) {
    Bytes line;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::count(line.begin(), line.end(), last) < count &&
           std::chrono::steady_clock::now() < give_up) {
        pollfd entry{fd, POLLIN, 0};
        std::uint8_t chunk[4096];
        const ssize_t got = ::poll(&entry, 1, 10) > 0 ? ::recv(fd, chunk, sizeof(chunk), 0) : 0;
        std::copy_if(chunk, chunk + std::max<ssize_t>(got, 0), std::back_inserter(line),
                     [](std::uint8_t byte) { return byte == 'A' || byte == 'B'; });
    }
    return line;
}

// A raw client of `server` whose line runs at `speed`.
int RawLoopbackClient(const LoopbackServer& server, std::uint32_t speed) {
    const int fd =
        ConnectLoopback(std::stoi(server.Address().substr(server.Address().rfind(':') + 1)));
    return fd >= 0 && ExchangeLineSpeed(fd, speed, 5000) == speed ? fd : -1;
}

// Catches a transmit purge applied out of order with the data around it: the data before it that
// has not reached the line is dropped, the data after it kept, even when the purge waited unread
// behind a full line queue.
TEST(Rfc2217ServerPurge, DropsTheDataBeforeItAndKeepsTheDataAfterIt) {
    LoopbackServer server;
    const int fd = RawLoopbackClient(server, 921600);
    ASSERT_GE(fd, 0);
    constexpr long kBefore = 20000;  // five line queues' worth
    constexpr long kAfter = 8;
    Bytes stream(kBefore, 'A');
    platform::telnet::AppendComPortCommand(platform::telnet::kComPurgeData,
                                           {platform::telnet::kPurgeServerTransmit}, stream);
    stream.insert(stream.end(), kAfter, 'B');
    ASSERT_EQ(::send(fd, stream.data(), stream.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(stream.size()));
    const Bytes line = LoopedBack(fd, 'B', kAfter);
    ::close(fd);
    const auto first_after = std::find(line.begin(), line.end(), 'B');
    EXPECT_EQ(std::count(first_after, line.end(), 'B'), kAfter);
    EXPECT_EQ(std::count(first_after, line.end(), 'A'), 0);
    EXPECT_LT(std::count(line.begin(), first_after, 'A'), kBefore);
}

// Catches a server that drops what a client sent just before it shut its side: what the line
// takes within the drain time goes out.
TEST(Rfc2217ServerShutClient, WhatItSentBeforeReachesTheLine) {
    LoopbackServer server;
    const int fd = RawLoopbackClient(server, 9600);
    ASSERT_GE(fd, 0);
    // About 1 s at 9600 baud: well inside the drain time, also on a loaded machine.
    const Bytes sent(1000, 'A');
    ASSERT_EQ(::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(sent.size()));
    ::shutdown(fd, SHUT_WR);
    EXPECT_EQ(LoopedBack(fd, 'A', 1000), sent);
    ::close(fd);
}

}  // namespace
}  // namespace vantor::test
