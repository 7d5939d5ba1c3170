// The tests' network itself: what goes in comes out whole and in order however many segments it
// loses, no earlier than its delay, and a cut tells neither side anything.
#include "latency_relay.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "network_peers.h"

namespace vantor {
namespace {

using Clock = std::chrono::steady_clock;

int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Up to `count` bytes from `fd`, waiting at most `timeout_ms` for each arrival.
std::vector<std::uint8_t> Receive(int fd, std::size_t count, int timeout_ms) {
    std::vector<std::uint8_t> received;
    std::uint8_t chunk[4096];
    pollfd entry{fd, POLLIN, 0};
    while (received.size() < count && ::poll(&entry, 1, timeout_ms) == 1) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            break;
        }
        received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

class RelayedPair : public testing::Test {
  protected:
    void Connect(const test::NetworkModel& model) {
        std::string error;
        relay = test::LatencyRelay::Start(
            "127.0.0.1:0", "127.0.0.1:" + std::to_string(server_.port()), model, error);
        ASSERT_NE(relay, nullptr) << error;
        client = ConnectTo(relay->port());
        server = server_.Accept();
        ASSERT_GE(client, 0);
        ASSERT_GE(server, 0);
    }
    void TearDown() override {
        relay.reset();
        for (int fd : {client, server}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    std::unique_ptr<test::LatencyRelay> relay;
    int client = -1;
    int server = -1;

  private:
    test::Listener server_;
};

TEST_F(RelayedPair, DeliversEveryByteInOrderThroughLostSegments) {
    Connect({2, 3, 0.25, 5});
    std::vector<std::uint8_t> sent;
    for (int i = 0; i < 40'000; ++i) {
        sent.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
    }
    for (std::size_t at = 0; at < sent.size(); at += 1000) {
        ASSERT_EQ(::send(server, sent.data() + at, 1000, MSG_NOSIGNAL), 1000);
    }
    EXPECT_EQ(Receive(client, sent.size(), 5000), sent);
    EXPECT_GT(relay->LostSegments(), 0u);
    EXPECT_LT(relay->LostSegments(), relay->Segments());
}

TEST_F(RelayedPair, HoldsEachDirectionForItsDelay) {
    Connect({50, 0, 0.0, 1});
    const auto start = Clock::now();
    ASSERT_EQ(::send(client, "?", 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(Receive(server, 1, 2000).size(), 1u);
    ASSERT_EQ(::send(server, "!", 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(Receive(client, 1, 2000).size(), 1u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
}

// A vanished network: a side that sends or closes after the cut is neither heard nor seen to end.
TEST_F(RelayedPair, CutForwardsNothingAndEndsNeitherSide) {
    Connect({0, 0, 0.0, 1});
    relay->Cut();
    ASSERT_EQ(::send(server, "late", 4, MSG_NOSIGNAL), 4);
    ::shutdown(client, SHUT_WR);
    pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    EXPECT_EQ(::poll(entries, 2, 300), 0);
}

// Either side's end reaches the other once what it sent before has been delivered.
TEST_F(RelayedPair, EndOfOneSideClosesTheOtherAfterItsData) {
    Connect({20, 0, 0.0, 1});
    ASSERT_EQ(::send(server, "bye", 3, MSG_NOSIGNAL), 3);
    ::shutdown(server, SHUT_WR);
    EXPECT_EQ(Receive(client, 4, 2000), (std::vector<std::uint8_t>{'b', 'y', 'e'}));
    char byte = 0;
    EXPECT_EQ(::recv(client, &byte, 1, 0), 0);
}

}  // namespace
}  // namespace vantor
