#include "latency_relay.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <random>
#include <vector>

namespace vantor::test {

namespace {

using Clock = std::chrono::steady_clock;

// What one IP packet carries on an Ethernet path.
constexpr std::size_t kSegmentBytes = 1448;
// What each direction of a connection may hold; beyond it the relay reads nothing more from the
// sender, and TCP holds the sender back.
constexpr std::size_t kHeldBytesPerDirection = 256 * 1024;
constexpr std::size_t kMaxConnections = 16;
constexpr int kConnectTimeoutMs = 3000;
// The longest the loop sleeps with nothing due; a stop or a cut wakes it at once anyway.
constexpr auto kIdleWait = std::chrono::seconds(1);

struct Segment {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
};

struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Segment> held;
    std::size_t held_bytes = 0;
    // Segments leave in the order they came, so none is due before the one ahead of it.
    Clock::time_point last_due{};
    bool ended = false;    // the sender shut its side
    bool blocked = false;  // the receiver took less than offered; wait until it can take more
};

struct Connection {
    Direction up;    // client to server
    Direction down;  // server to client
    bool cut = false;
    bool closed = false;
};

std::string HostOf(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    std::string host = address.substr(0, colon == std::string::npos ? 0 : colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return host;
}

std::string PortOf(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    return colon == std::string::npos ? "" : address.substr(colon + 1);
}

// The socket addresses of "HOST:PORT"; nullptr with the reason in `error`.
addrinfo* Resolve(const std::string& address, bool passive, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* found = nullptr;
    const int status =
        ::getaddrinfo(HostOf(address).c_str(), PortOf(address).c_str(), &hints, &found);
    if (status != 0 || PortOf(address).empty()) {
        error = "\"" + address + "\" is not HOST:PORT" +
                (status != 0 ? std::string(": ") + ::gai_strerror(status) : "");
        return nullptr;
    }
    return found;
}

int Listen(const std::string& address, int& port, std::string& error) {
    addrinfo* found = Resolve(address, true, error);
    if (found == nullptr) {
        return -1;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool listening =
        fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 8) == 0;
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (!listening || ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = "cannot listen on " + address + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

// A non-blocking socket connected to `address` within kConnectTimeoutMs; -1 when it is not.
int Connect(const std::string& address) {
    std::string error;
    addrinfo* found = Resolve(address, false, error);
    if (found == nullptr) {
        return -1;
    }
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        pollfd entry{fd, POLLOUT, 0};
        int failure = 0;
        socklen_t length = sizeof failure;
        if (errno != EINPROGRESS || ::poll(&entry, 1, kConnectTimeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0 || failure != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

void CloseBoth(Connection& connection) {
    ::close(connection.up.from);
    ::close(connection.up.to);
    connection.closed = true;
}

}  // namespace

int RetransmissionMs(const NetworkModel& model) {
    return std::max(200, 2 * (2 * model.delay_ms + model.jitter_ms));
}

std::unique_ptr<LatencyRelay> LatencyRelay::Start(const std::string& listen,
                                                  const std::string& target,
                                                  const NetworkModel& model, std::string& error) {
    int port = 0;
    const int listen_fd = Listen(listen, port, error);
    if (listen_fd < 0) {
        return nullptr;
    }
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        ::close(listen_fd);
        return nullptr;
    }
    return std::unique_ptr<LatencyRelay>(new LatencyRelay(listen_fd, wake_fd, port, target, model));
}

LatencyRelay::LatencyRelay(int listen_fd, int wake_fd, int port, std::string target,
                           NetworkModel model)
    : listen_fd_(listen_fd),
      wake_fd_(wake_fd),
      port_(port),
      target_(std::move(target)),
      model_(model),
      thread_([this] { Run(); }) {}

LatencyRelay::~LatencyRelay() {
    stop_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t woken = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
    ::close(wake_fd_);
    ::close(listen_fd_);
}

void LatencyRelay::Cut() {
    cut_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t woken = ::write(wake_fd_, &one, sizeof one);
}

namespace {

class Network {
  public:
    Network(const NetworkModel& model, std::atomic<std::uint64_t>& segments,
            std::atomic<std::uint64_t>& lost)
        : model_(model), random_(model.seed), segments_(segments), lost_(lost) {}

    // Takes what the sender has, as far as the direction may hold more; false when the
    // connection failed.
    bool Take(Direction& direction) {
        std::uint8_t chunk[16 * 1024];
        const std::size_t room = kHeldBytesPerDirection - direction.held_bytes;
        // A hang-up can be reported while the direction is full; reading nothing would look
        // like the sender's end.
        if (room == 0) {
            return true;
        }
        const ssize_t got =
            ::recv(direction.from, chunk, std::min(room, sizeof chunk), MSG_DONTWAIT);
        if (got == 0) {
            direction.ended = true;
            return true;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        const auto now = Clock::now();
        for (std::size_t at = 0; at < static_cast<std::size_t>(got); at += kSegmentBytes) {
            const std::size_t end = std::min(static_cast<std::size_t>(got), at + kSegmentBytes);
            direction.last_due = std::max(direction.last_due, now + Transit());
            direction.held.push_back({direction.last_due, {chunk + at, chunk + end}});
            direction.held_bytes += end - at;
        }
        return true;
    }

  private:
    // How long one segment takes: the delay, its jitter, and a retransmission when it is lost.
    Clock::duration Transit() {
        std::chrono::microseconds transit = std::chrono::milliseconds(model_.delay_ms);
        if (model_.jitter_ms > 0) {
            transit += std::chrono::microseconds(
                std::uniform_int_distribution<int>(0, model_.jitter_ms * 1000)(random_));
        }
        ++segments_;
        if (model_.loss > 0 && std::bernoulli_distribution(model_.loss)(random_)) {
            ++lost_;
            transit += std::chrono::milliseconds(RetransmissionMs(model_));
        }
        return transit;
    }

    NetworkModel model_;
    std::mt19937_64 random_;
    std::atomic<std::uint64_t>& segments_;
    std::atomic<std::uint64_t>& lost_;
};

// Hands the receiver every segment that is due, as far as it takes them; false when the
// connection failed.
bool Deliver(Direction& direction) {
    const auto now = Clock::now();
    direction.blocked = false;
    while (!direction.held.empty() && direction.held.front().due <= now) {
        Segment& segment = direction.held.front();
        const ssize_t sent =
            ::send(direction.to, segment.bytes.data() + segment.sent,
                   segment.bytes.size() - segment.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            direction.blocked = errno == EAGAIN || errno == EINTR;
            return direction.blocked;
        }
        segment.sent += static_cast<std::size_t>(sent);
        direction.held_bytes -= static_cast<std::size_t>(sent);
        if (segment.sent < segment.bytes.size()) {
            direction.blocked = true;
            return true;
        }
        direction.held.pop_front();
    }
    return true;
}

// The earliest time a segment becomes due that is not waiting on its receiver.
Clock::time_point NextDue(const std::list<Connection>& connections, Clock::time_point limit) {
    for (const Connection& connection : connections) {
        for (const Direction* direction : {&connection.up, &connection.down}) {
            if (!connection.cut && !direction->blocked && !direction->held.empty()) {
                limit = std::min(limit, direction->held.front().due);
            }
        }
    }
    return limit;
}

// What to wait for on the socket that `reading` reads from and `writing` writes to. Nothing at
// all (a negative descriptor) for a cut connection, or when only a due time matters: an ended
// peer's hang-up would otherwise wake the loop at once, again and again.
pollfd Entry(const Connection& connection, const Direction& reading, const Direction& writing) {
    short events = 0;
    if (!connection.cut && !reading.ended && reading.held_bytes < kHeldBytesPerDirection) {
        events |= POLLIN;
    }
    if (!connection.cut && writing.blocked) {
        events |= POLLOUT;
    }
    return {events == 0 ? -1 : reading.from, events, 0};
}

// Until the next segment is due, at most kIdleWait.
timespec Timeout(const std::list<Connection>& connections) {
    timespec timeout{};
    const auto now = Clock::now();
    const auto wait =
        std::max(Clock::duration::zero(), NextDue(connections, now + kIdleWait) - now);
    timeout.tv_sec = static_cast<time_t>(std::chrono::floor<std::chrono::seconds>(wait).count());
    timeout.tv_nsec = static_cast<long>((wait % std::chrono::seconds(1)).count() *
                                        Clock::period::num * 1'000'000'000 / Clock::period::den);
    return timeout;
}

// Takes what `direction`'s sender has and delivers what is due; false when the connection failed.
bool Relay(Network& network, short revents, Direction& direction) {
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !direction.ended &&
        !network.Take(direction)) {
        return false;
    }
    return Deliver(direction);
}

// Connects a new client to the target; a client beyond kMaxConnections, or one whose server
// cannot be reached, is disconnected at once.
void Accept(int listen_fd, const std::string& target, std::list<Connection>& connections) {
    const int client = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
        return;
    }
    const int server = connections.size() < kMaxConnections ? Connect(target) : -1;
    if (server < 0) {
        ::close(client);
        return;
    }
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection& added = connections.emplace_back();
    added.up.from = added.down.to = client;
    added.up.to = added.down.from = server;
}

}  // namespace

void LatencyRelay::Run() {
    Network network(model_, segments_, lost_segments_);
    std::list<Connection> connections;
    std::vector<pollfd> entries;
    while (!stop_) {
        entries = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (const Connection& connection : connections) {
            entries.push_back(Entry(connection, connection.up, connection.down));
            entries.push_back(Entry(connection, connection.down, connection.up));
        }
        const timespec timeout = Timeout(connections);
        if (::ppoll(entries.data(), entries.size(), &timeout, nullptr) < 0 && errno != EINTR) {
            break;
        }
        if (entries[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(wake_fd_, &count, sizeof count);
        }
        // Looked at once the wait is over: what arrived with the wake-up is not forwarded.
        if (cut_.exchange(false)) {
            for (Connection& connection : connections) {
                connection.cut = true;
                for (Direction* direction : {&connection.up, &connection.down}) {
                    direction->held.clear();
                    direction->held_bytes = 0;
                }
            }
        }
        std::size_t index = 2;
        for (Connection& connection : connections) {
            // A cut connection carries nothing more, whatever the wait found on it.
            const bool ok =
                connection.cut || (Relay(network, entries[index].revents, connection.up) &&
                                   Relay(network, entries[index + 1].revents, connection.down));
            index += 2;
            // Either side's end ends both, once what it sent before has been delivered.
            const bool ended = (connection.up.ended && connection.up.held.empty()) ||
                               (connection.down.ended && connection.down.held.empty());
            if (!connection.cut && (!ok || ended)) {
                CloseBoth(connection);
            }
        }
        if ((entries[1].revents & POLLIN) != 0) {
            Accept(listen_fd_, target_, connections);
        }
        connections.remove_if([](const Connection& c) { return c.closed; });
    }
    for (Connection& connection : connections) {
        CloseBoth(connection);
    }
}

}  // namespace vantor::test
