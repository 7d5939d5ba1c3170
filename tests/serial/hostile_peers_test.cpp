// Misbehaving peers on both sides of the network serial port, as an attacker or a broken device
// would be: servers that flood, storm, never end a command or vanish mid-command against the
// RFC 2217 client, and clients that do the same against vantor-drive-sim. Each must stay within
// its time and memory: the client's open ends within its budget plus a second, the server takes
// the next client within 3 s of a hostile one leaving, and neither grows past 64 MiB (peak
// resident memory, read from the process).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "network_peers.h"
#include "platform/serial/device_address.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/serial/rfc2217_server.h"
#include "platform/serial/rfc2217_telnet.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

using namespace telnet;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr long kMemoryLimitKiB = 64 * 1024;
constexpr auto kOpenLimit = std::chrono::milliseconds(kRfc2217OpenBudgetMs + 1000);
constexpr auto kNextClientLimit = std::chrono::seconds(3);

Bytes Repeat(const Bytes& unit, std::size_t times) {
    Bytes bytes;
    for (std::size_t i = 0; i < times; ++i) {
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    return bytes;
}

Bytes Command(std::uint8_t command, const Bytes& value) {
    Bytes bytes;
    AppendComPortCommand(command, value, bytes);
    return bytes;
}

const Bytes kAgree = {kIac, kDo, kOptionComPort};

// ---- Hostile servers against the client ----

struct ServerScript {
    const char* name;
    Bytes first;         // sent at once
    Bytes flood;         // then sent again and again, as fast as the client takes it
    int agree_after_ms;  // when to agree to serial port control in the middle of it; -1 never
    enum class End { Never, Close, Reset } end;
    bool opens;
};

// Serves one client with `script` until the client goes or the test ends; never reads.
class HostileServer {
  public:
    explicit HostileServer(const ServerScript& script)
        : script_(script), thread_([this] { Serve(); }) {}
    ~HostileServer() {
        stop_ = true;
        thread_.join();
    }
    std::string Address() const { return listener_.Address(); }

  private:
    void Serve() {
        const int client = listener_.Accept();
        if (client < 0) {
            return;
        }
        SendAll(client, script_.first);
        if (script_.end != ServerScript::End::Never) {
            if (script_.end == ServerScript::End::Reset) {
                const linger reset{1, 0};
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            }
            ::close(client);
            return;
        }
        const auto agree_at = Clock::now() + std::chrono::milliseconds(script_.agree_after_ms);
        bool agreed = script_.agree_after_ms < 0;
        while (!stop_) {
            if (!agreed && Clock::now() >= agree_at) {
                agreed = SendAll(client, kAgree);
            }
            if (!SendAll(client, script_.flood)) {
                break;
            }
        }
        ::close(client);
    }
    // False once the client has gone; waits (briefly) while the client is not taking bytes.
    bool SendAll(int fd, const Bytes& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size() && !stop_) {
            const ssize_t done =
                ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (done > 0) {
                sent += static_cast<std::size_t>(done);
            } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd entry{fd, POLLOUT, 0};
                ::poll(&entry, 1, 5);
            } else {
                return false;
            }
        }
        return true;
    }

    test::Listener listener_;
    ServerScript script_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class AgainstHostileServer : public testing::TestWithParam<ServerScript> {};

// Catches an open that a server's stream holds past the budget, an agreement that arrives in time
// but is not counted, and memory that grows with what the server sends.
TEST_P(AgainstHostileServer, OpenEndsWithinItsBudgetAndMemoryStaysBounded) {
    const ServerScript& script = GetParam();
    HostileServer server(script);
    const auto start = Clock::now();
    auto opened = OpenSerialDevice(server.Address());
    EXPECT_LT(Clock::now() - start, kOpenLimit) << opened.reason();
    EXPECT_EQ(static_cast<bool>(opened), script.opens) << opened.reason();
    auto device = std::move(opened).ValueOr(nullptr);
    if (device) {
        // Every call takes one bounded pump's worth of the flood (at most 64 reads) and returns;
        // the guard only catches a call that never returns.
        std::uint32_t errors = 0;
        std::uint32_t waiting = 0;
        Bytes buffer(64);
        std::size_t got = 0;
        const auto calls_start = Clock::now();
        for (int call = 0; call < 20; ++call) {
            device->ClearError(errors, waiting);
            device->Read(buffer.data(), buffer.size(), got);
        }
        EXPECT_LT(Clock::now() - calls_start, std::chrono::seconds(10));
        device->Close();
    }
    EXPECT_LT(test::PeakMemoryKiB(), kMemoryLimitKiB);
}

const Bytes kPartialCommand = {kIac, kSb, kOptionComPort, kComSetBaudRate + kServerCommandOffset,
                               0x00};

INSTANTIATE_TEST_SUITE_P(
    Scripts, AgainstHostileServer,
    testing::Values(
        ServerScript{"NopFloodAgreesLate",
                     {},
                     Repeat({kIac, 241}, 2048),
                     1500,
                     ServerScript::End::Never,
                     true},
        ServerScript{"NegotiationStorm",
                     {},
                     Repeat({kIac, kWill, 0, kIac, kWont, 0}, 1024),
                     -1,
                     ServerScript::End::Never,
                     false},
        ServerScript{"UnterminatedSubnegotiation",
                     {kIac, kSb, kOptionComPort},
                     Bytes(4096, 0x10),
                     -1,
                     ServerScript::End::Never,
                     false},
        ServerScript{
            "BreakFlood", kAgree,
            Repeat(Command(kComNotifyLineState + kServerCommandOffset, {kLineStateBreak}), 512), -1,
            ServerScript::End::Never, true},
        ServerScript{"InjectedRequests", kAgree, Repeat({kIac, kDont, 0, kIac, kDo, 0}, 512), -1,
                     ServerScript::End::Never, true},
        ServerScript{"CloseMidCommand", kPartialCommand, {}, -1, ServerScript::End::Close, false},
        ServerScript{"ResetMidCommand", kPartialCommand, {}, -1, ServerScript::End::Reset, false}),
    [](const testing::TestParamInfo<ServerScript>& script_info) { return script_info.param.name; });

// ---- Hostile clients against vantor-drive-sim ----

// Sends what the server takes within `limit`; false when the server went or the time ran out.
bool SendFor(int fd, const Bytes& bytes, std::chrono::milliseconds limit) {
    const auto give_up = Clock::now() + limit;
    std::size_t sent = 0;
    while (sent < bytes.size() && Clock::now() < give_up) {
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, 10) <= 0) {
            continue;
        }
        const ssize_t done =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        sent += done > 0 ? static_cast<std::size_t>(done) : 0;
    }
    return sent == bytes.size();
}

struct ClientScript {
    const char* name;
    Bytes bytes;  // sent, then the client leaves (closes) unless it is one that never reads
    bool never_reads;
};

const Bytes kWillComPort = {kIac, kWill, kOptionComPort};

Bytes Then(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Catches a server that one client can hold (a slow line, a full socket, a client that never
// reads) or fill (breaks, absurd speeds), so that the next client waits or the server dies. One
// server takes every hostile client in turn, each followed by a sound client.
TEST(AgainstHostileClients, NextClientIsServedWithinThreeSecondsAndMemoryStaysBounded) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    const int port = std::stoi(server.address().substr(server.address().rfind(':') + 1));
    const std::vector<ClientScript> scripts = {
        {"slowest speed and data",
         Then(Then(kWillComPort, Command(kComSetBaudRate, BigEndian32(50))), Bytes(20000, 0x55)),
         false},
        {"data at 9600 baud", Then(kWillComPort, Bytes(20000, 0x55)), false},
        {"absurd speeds",
         Then(Then(Command(kComSetBaudRate, BigEndian32(1)), Bytes(64, 0x41)),
              Then(Command(kComSetBaudRate, BigEndian32(0xFFFFFFFF)), Bytes(20000, 0x41))),
         false},
        {"break storm",
         Repeat(Then(Command(kComSetControl, {kControlBreakOn}),
                     Command(kComSetControl, {kControlBreakOff})),
                20000),
         false},
        {"negotiation storm", Repeat({kIac, kDont, 0, kIac, kDo, 0}, 20000), false},
        {"unterminated subnegotiation", Then({kIac, kSb, kOptionComPort}, Bytes(100000, 0x01)),
         false},
        {"never reads", Repeat(Command(kComSignature, {}), 200000), true},
    };
    for (const ClientScript& script : scripts) {
        SCOPED_TRACE(script.name);
        const int fd = test::ConnectLoopback(port, script.never_reads ? 2048 : 0);
        ASSERT_GE(fd, 0);
        EXPECT_NE(server.NextLine(5000).find("connected"), std::string::npos);
        SendFor(fd, script.bytes, std::chrono::seconds(10));
        if (!script.never_reads) {
            ::close(fd);
        }
        // The server lets the client go (it left, or it was dropped for not reading) ...
        const std::string gone = server.NextLine(15000);
        EXPECT_NE(gone.find(script.never_reads ? "dropped" : "client "), std::string::npos) << gone;
        if (script.never_reads) {
            ::close(fd);
        }
        // ... and serves the next one at once.
        const auto left_at = Clock::now();
        auto device = test::ValueOf(OpenSerialDevice(server.address()));
        EXPECT_LT(Clock::now() - left_at, kNextClientLimit);
        ASSERT_NE(device, nullptr);
        device->Close();
        device.reset();
        server.NextLine(5000);  // its "connected"
        server.NextLine(5000);  // its "left"
    }
    EXPECT_LT(server.PeakMemoryKiB(), kMemoryLimitKiB);
}

// Catches a speed the server cannot keep being taken: it answers with the speed that stays.
TEST(DriveSimSpeeds, AnOutOfRangeSpeedIsAnsweredWithTheSpeedThatStays) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    const int fd =
        test::ConnectLoopback(std::stoi(server.address().substr(server.address().rfind(':') + 1)));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendFor(fd,
                        Then(Then(kWillComPort, Command(kComSetBaudRate, BigEndian32(9600))),
                             Command(kComSetBaudRate, BigEndian32(1))),
                        std::chrono::seconds(5)));
    // The answers to both: 9600, then 9600 again rather than 1.
    const Bytes answer = Command(kComSetBaudRate + kServerCommandOffset, BigEndian32(9600));
    const Bytes both = Then(answer, answer);
    const Bytes received = test::ReceiveUntil(
        fd,
        [&](const Bytes& so_far) {
            return std::search(so_far.begin(), so_far.end(), both.begin(), both.end()) !=
                   so_far.end();
        },
        5000);
    ::close(fd);
    EXPECT_NE(std::search(received.begin(), received.end(), both.begin(), both.end()),
              received.end());
}

int PortOf(const test::DriveSimProcess& server) {
    return std::stoi(server.address().substr(server.address().rfind(':') + 1));
}

// Catches a client that set a slow speed, sent more than the line queue holds and shut its side
// holding the server for as long as the line takes it all: it is let go within kShutDrainMs.
TEST(DriveSimShutClient, IsLetGoWithinTheDrainTimeWhateverWaitsForTheLine) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    const int fd = test::ConnectLoopback(PortOf(server));
    ASSERT_GE(fd, 0);
    EXPECT_NE(server.NextLine(5000).find("connected"), std::string::npos);
    EXPECT_EQ(test::ExchangeLineSpeed(fd, 50, 5000), 50u);
    ASSERT_TRUE(SendFor(fd, Bytes(32 * 1024, 0x55), std::chrono::seconds(5)));
    ::shutdown(fd, SHUT_WR);
    const std::string gone = server.NextLine(rfc2217_server::kShutDrainMs + 10000);
    ::close(fd);
    EXPECT_NE(gone.find("dropped after 5000 ms"), std::string::npos) << gone;
}

// Catches a listen backlog that turns waiting clients away (their connection attempts time
// out) and a line that keeps the previous client's speed: clients that connect while one is
// served wait, and each is served in turn at the start speed.
TEST(DriveSimWaitingClients, AreServedInTurnAtTheStartSpeed) {
    test::DriveSimProcess server("");
    ASSERT_FALSE(server.address().empty());
    const int first = test::ConnectLoopback(PortOf(server));
    ASSERT_GE(first, 0);
    EXPECT_EQ(test::ExchangeLineSpeed(first, 19200, 5000), 19200u);
    std::vector<int> waiting;
    for (int client = 0; client < 4; ++client) {
        waiting.push_back(test::ConnectLoopback(PortOf(server)));
        EXPECT_GE(waiting.back(), 0) << "waiting client " << client;
    }
    ::close(first);
    for (const int fd : waiting) {
        if (fd >= 0) {
            EXPECT_EQ(test::ExchangeLineSpeed(fd, 0, 5000), 9600u);
            ::close(fd);
        }
    }
}

}  // namespace
}  // namespace vantor::platform
