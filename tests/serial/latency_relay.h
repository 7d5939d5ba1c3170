// A TCP relay that puts a network between a client and a server: it holds each direction some
// milliseconds, with jitter, and loses IP packets as TCP experiences it. A lost segment is not
// missing from the stream; it arrives a retransmission time late, and everything sent after it
// in that direction waits behind it, as a receiving TCP holds data back until the gap is filled.
// Loss and jitter are drawn from a seed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace vantor::test {

struct NetworkModel {
    int delay_ms = 0;        // each way
    int jitter_ms = 0;       // up to this much more for each segment, drawn from the seed
    double loss = 0.0;       // the share of segments lost (0 to 1)
    std::uint64_t seed = 1;  // draws the jitter and the losses
};

// The time a lost segment costs: Linux's least retransmission timeout, or two round trips on a
// slower network.
int RetransmissionMs(const NetworkModel& model);

class LatencyRelay {
  public:
    // Listens on `listen` ("HOST:PORT", port 0 for a free one) and relays every client that
    // connects to `target` ("HOST:PORT"; an IPv6 address in brackets). Nothing, with the reason in
    // `error`, when it cannot listen.
    static std::unique_ptr<LatencyRelay> Start(const std::string& listen, const std::string& target,
                                               const NetworkModel& model, std::string& error);
    ~LatencyRelay();
    LatencyRelay(const LatencyRelay&) = delete;
    LatencyRelay& operator=(const LatencyRelay&) = delete;

    int port() const { return port_; }
    // The relay as the device address of a network serial port.
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // Cuts every connection as a network that went away does: nothing more is forwarded either
    // way and neither side is told (no FIN, no reset); the sockets stay open until the relay
    // goes. Both peers' kernels still acknowledge what reaches them, so TCP keepalive does not
    // see a cut.
    void Cut();
    // Segments relayed so far, and how many of them were lost once.
    std::uint64_t Segments() const { return segments_; }
    std::uint64_t LostSegments() const { return lost_segments_; }

  private:
    LatencyRelay(int listen_fd, int wake_fd, int port, std::string target, NetworkModel model);
    void Run();

    int listen_fd_;
    int wake_fd_;
    int port_;
    std::string target_;
    NetworkModel model_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::atomic<std::uint64_t> segments_{0};
    std::atomic<std::uint64_t> lost_segments_{0};
    std::thread thread_;
};

}  // namespace vantor::test
