// vantor-port-server's serving loop in-process, in front of the simulated UART beneath the
// termios backend's system call layer: the device is opened by its path exactly as on a real
// adapter, breaks go both ways, and vantor-cli downloads the demo image through it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "network_peers.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/serial/rfc2217_server.h"
#include "portserver/port_server.h"
#include "simulated_uart.h"
#include "support/test_support.h"

namespace vantor {
namespace {

class PortServerInFront : public testing::Test {
  protected:
    void SetUp() override {
        // The simulated UART's path is the same in every test process: each takes its lock
        // files in a folder of its own.
        ASSERT_NE(::mkdtemp(lock_dir_.data()), nullptr);
        ::setenv("VANTOR_LOCK_DIR", lock_dir_.c_str(), 1);
        const auto listener = platform::rfc2217_server::Listen("127.0.0.1", 0);
        ASSERT_TRUE(listener) << listener.reason();
        listen_fd_ = listener->fd;
        const std::string& bound = listener->bound;
        address = "rfc2217://" + bound;
        port = std::stoi(bound.substr(bound.rfind(':') + 1));
        std::array<int, 2> log_pipe{};
        ASSERT_EQ(::pipe2(log_pipe.data(), O_CLOEXEC), 0);
        log_read_ = log_pipe[0];
        log_ = ::fdopen(log_pipe[1], "w");
        thread_ = std::thread([this] { portserver::ServePort(listen_fd_, options, stop_, log_); });
    }
    void TearDown() override {
        Stop();
        ::close(listen_fd_);
        ::close(log_read_);
        ::unsetenv("VANTOR_LOCK_DIR");
        ::rmdir(lock_dir_.c_str());
    }
    // Ends the server; returns what it logged that NextLogLine did not return.
    std::string Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
            std::fclose(log_);
        }
        std::string rest;
        for (std::string line; !(line = NextLogLine(0)).empty();) {
            rest += line + "\n";
        }
        return rest;
    }
    // The server's next log line, waiting at most `timeout_ms`; "" when none came.
    std::string NextLogLine(int timeout_ms) {
        return test::NextLineFrom(log_read_, log_pending_, timeout_ms);
    }
    int Count(sim::LineEvent::Kind kind) {
        const auto traffic = world->Traffic();
        return static_cast<int>(std::count_if(traffic.begin(), traffic.end(),
                                              [&](const auto& e) { return e.kind == kind; }));
    }

    std::shared_ptr<sim::SimWorld> world = std::make_shared<sim::SimWorld>(sim::SimOptions{});
    test::SimulatedUart uart{world};
    platform::ScopedSyscalls scoped_syscalls{uart};
    std::string address;
    int port = 0;
    // What the server is started with; a test may narrow `allowed` before SetUp.
    portserver::PortServerOptions options{test::kUartPath, {}, {}};

  private:
    // In the temporary folder the run was given ($TMPDIR), as every file a test makes.
    std::string lock_dir_ = testing::TempDir() + "vantor-locks-XXXXXX";
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    int log_read_ = -1;
    std::string log_pending_;
    std::FILE* log_ = nullptr;
    std::thread thread_;
};

#ifdef VANTOR_CLI_PATH
// The operator's way to a drive at a distance: the drive's answering break reaches the client
// only as the server's line state report.
TEST_F(PortServerInFront, CliDownloadsTheDemoImageWithBreaksBothWays) {
    const test::ProgramRun run = test::RunProgram(
        {VANTOR_CLI_PATH, "download", VANTOR_SOURCE_DIR "/examples/demo.orb", "--port", address});
    const std::string& output = run.output;
    EXPECT_EQ(run.exit_status, 0) << output;
    EXPECT_NE(output.find("Download successful"), std::string::npos) << output;
    const std::string log = Stop();
    EXPECT_GE(Count(sim::LineEvent::Kind::HostBreak), 1);
    EXPECT_GE(Count(sim::LineEvent::Kind::DriveBreak), 1);
    EXPECT_FALSE(world->AcceptedPackets().empty());
    EXPECT_NE(log.find(" left; /dev/ttyVANTORSIM0 closed"), std::string::npos) << log;
}
#endif

TEST_F(PortServerInFront, SecondClientIsToldThePortIsInUseAndTheNextIsServed) {
    std::string error;
    auto first = test::ValueOf(platform::OpenRfc2217Device(address));
    ASSERT_NE(first, nullptr);
    error = platform::OpenRfc2217Device(address).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("the server said \"vantor-port-server: the port /dev/ttyVANTORSIM0 is in "
                         "use by another client (127.0.0.1:"),
              std::string::npos)
        << error;
    first->Close();
    auto next = test::ValueOf(platform::OpenRfc2217Device(address));
    EXPECT_NE(next, nullptr);
    next.reset();
    const std::string log = Stop();
    const auto count = [&](const std::string& what) {
        int found = 0;
        for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count("/dev/ttyVANTORSIM0 opened"), 2) << log;
    EXPECT_EQ(count("/dev/ttyVANTORSIM0 closed"), 2) << log;
    EXPECT_EQ(count("turned away"), 1) << log;
}

// Catches a client that inherits the line speed the client before it left on the device.
TEST_F(PortServerInFront, EachClientStartsAtTheStartSpeed) {
    const int first = test::ConnectLoopback(port);
    ASSERT_GE(first, 0);
    EXPECT_EQ(test::ExchangeLineSpeed(first, 19200, 5000), 19200u);
    ::close(first);
    EXPECT_NE(NextLogLine(5000).find("opened"), std::string::npos);
    EXPECT_NE(NextLogLine(5000).find("closed"), std::string::npos);
    const int next = test::ConnectLoopback(port);
    ASSERT_GE(next, 0);
    EXPECT_EQ(test::ExchangeLineSpeed(next, 0, 5000), portserver::kClientStartBaudRate);
    ::close(next);
}

// Brings the loopback link of this network namespace up or down; false when not permitted.
bool SetLoopbackUp(bool up) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags =
        static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
    done = done && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return done;
}

// Set in the copy of this program that runs in a network namespace of its own.
constexpr char kInOwnNetwork[] = "VANTOR_TEST_IN_OWN_NETWORK";

// A client whose network vanishes is made by taking the loopback link down under it, which only
// a namespace of the test's own permits: the test runs itself again under `unshare -rn` with
// short keepalive timers, so that the link can go down and nothing else sees it.
class PortServerInOwnNetwork : public PortServerInFront {
  protected:
    PortServerInOwnNetwork() {
        if (std::getenv(kInOwnNetwork) != nullptr) {
            SetLoopbackUp(true);  // a new namespace's loopback link starts down
        }
        options.keepalive = {1, 1, 2};
    }
};

// Catches a client whose network vanished (no FIN, no reset) holding the port for good.
TEST_F(PortServerInOwnNetwork, VanishedClientFreesThePortWithinTheKeepAlive) {
    if (std::getenv(kInOwnNetwork) == nullptr) {
        if (std::system("unshare -rn true >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "no network namespace of our own (unshare -rn)";
        }
        std::array<char, 4096> self{};
        ASSERT_GT(::readlink("/proc/self/exe", self.data(), self.size() - 1), 0);
        const std::string command = std::string(kInOwnNetwork) +
                                    "=1 timeout -s KILL 60 unshare -rn '" + self.data() +
                                    "' --gtest_filter=PortServerInOwnNetwork.* 2>&1";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char chunk[256];
        while (std::fgets(chunk, sizeof(chunk), pipe) != nullptr) {
            output += chunk;
        }
        EXPECT_EQ(::pclose(pipe), 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        return;
    }
    auto client = test::ValueOf(platform::OpenRfc2217Device(address));
    ASSERT_NE(client, nullptr);
    EXPECT_NE(NextLogLine(5000).find("opened"), std::string::npos);
    ASSERT_TRUE(SetLoopbackUp(false));
    const std::string ended = NextLogLine(options.keepalive.UnacknowledgedMs() + 5000);
    SetLoopbackUp(true);
    EXPECT_NE(ended.find("dropped: it stopped answering (keepalive); "), std::string::npos)
        << ended;
    client->Close();
}

// Catches a peer let in past --allow: a loopback client of a server that allows only 10/8 is
// told why and the device is never opened for it.
class PortServerAllowingTenOnly : public PortServerInFront {
  protected:
    PortServerAllowingTenOnly() {
        options.allowed.push_back(*portserver::ParseAllowedNetwork("10.0.0.0/8"));
    }
};

TEST_F(PortServerAllowingTenOnly, TurnsAwayAPeerOutsideTheAllowedNetworks) {
    std::string error;
    error = platform::OpenRfc2217Device(address).reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("this address may not use the port (--allow)"), std::string::npos)
        << error;
    const std::string log = Stop();
    EXPECT_EQ(log.find("opened"), std::string::npos) << log;
}

struct AllowCase {
    const char* network;
    const char* peer;
    bool allowed;
};

bool Allows(const AllowCase& c) {
    const auto network = portserver::ParseAllowedNetwork(c.network);
    EXPECT_TRUE(network) << network.reason();
    sockaddr_storage peer{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (::inet_pton(AF_INET, c.peer, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else {
        EXPECT_EQ(::inet_pton(AF_INET6, c.peer, &v6->sin6_addr), 1) << c.peer;
        v6->sin6_family = AF_INET6;
    }
    return portserver::IsAllowed(reinterpret_cast<sockaddr*>(&peer), {*network});
}

TEST(PortServerAllow, PrefixesMatchIpv4AndIpv6PeersBitForBit) {
    const AllowCase cases[] = {
        {"192.168.1.0/24", "192.168.1.77", true},
        {"192.168.1.0/24", "192.168.2.1", false},
        {"10.0.0.7", "10.0.0.7", true},
        {"10.0.0.7", "10.0.0.8", false},
        {"10.0.0.0/9", "10.127.0.1", true},
        {"10.0.0.0/9", "10.128.0.1", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "::1", false},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"fd00::/8", "10.0.0.7", false},
        {"::ffff:10.0.0.0/104", "10.1.2.3", true},
    };
    for (const AllowCase& c : cases) {
        EXPECT_EQ(Allows(c), c.allowed) << c.network << " and " << c.peer;
    }
    for (const char* bad : {"10.0.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0.0/x", "host/8"}) {
        const auto network = portserver::ParseAllowedNetwork(bad);
        EXPECT_FALSE(network) << bad;
        EXPECT_FALSE(network.reason().empty());
    }
}

}  // namespace
}  // namespace vantor
