#include "drivesim/drive_sim_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/serial/rfc2217_telnet.h"
#include "sim/simulated_line.h"

namespace vantor::drivesim {

namespace {

using namespace platform::telnet;

constexpr char kSignature[] = "vantor-drive-sim";
constexpr std::size_t kChunkBytes = 4096;
constexpr std::int64_t kNsPerMs = 1'000'000;

class Session final : private Listener {
  public:
    Session(int fd, platform::SerialDevice& line)
        : fd_(fd),
          line_(line),
          negotiator_({kOptionBinary, kOptionSuppressGoAhead, kOptionComPort},
                      {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort}) {}

    // Serves until the client leaves, is dropped or `stop` is set; says why it ended.
    std::string Run(const std::atomic<bool>& stop);

  private:
    bool TakeClientBytes();
    void FeedLine();
    void ServeLine();
    void Flush();

    void OnData(std::uint8_t byte) override { to_line_.push_back(byte); }
    void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
        negotiator_.Receive(verb, option, out_);
    }
    void OnSubnegotiation(const std::vector<std::uint8_t>& body) override;
    void Command(std::uint8_t command, const std::vector<std::uint8_t>& value);
    void ChangeSettings(std::uint8_t command, std::uint32_t value);
    std::uint32_t CurrentSetting(std::uint8_t command);
    void Reply(std::uint8_t command, const std::vector<std::uint8_t>& value) {
        AppendComPortCommand(command + kServerCommandOffset, value, out_);
    }

    int fd_;
    platform::SerialDevice& line_;
    Parser parser_;
    Negotiator negotiator_;
    // What waits to go to the client; bounded by kMaxOutgoingBytes.
    std::vector<std::uint8_t> out_;
    std::int64_t stalled_since_ns_ = -1;  // when the client last took nothing of out_
    // The client's data on its way to the line, at line rate; while it holds kMaxLineQueueBytes
    // nothing more is taken from the client, so TCP holds the client back.
    std::deque<std::uint8_t> to_line_;
    std::int64_t line_free_ns_ = 0;  // when what went to the line so far has gone out
    bool line_in_break_ = false;
    std::uint8_t line_state_mask_ = 0;
    std::string ended_;
};

std::string Session::Run(const std::atomic<bool>& stop) {
    negotiator_.Request(kWill, kOptionBinary, out_);
    negotiator_.Request(kDo, kOptionBinary, out_);
    negotiator_.Request(kWill, kOptionSuppressGoAhead, out_);
    negotiator_.Request(kDo, kOptionSuppressGoAhead, out_);
    negotiator_.Request(kDo, kOptionComPort, out_);
    Flush();
    while (ended_.empty() && !stop.load()) {
        // A client that has gone is noticed even while nothing is taken from it.
        const bool take = to_line_.size() < kMaxLineQueueBytes;
        pollfd entry{fd_, static_cast<short>((take ? POLLIN : 0) | POLLRDHUP), 0};
        if (::poll(&entry, 1, kPollIntervalMs) > 0) {
            if (take ? !TakeClientBytes()
                     : (entry.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0) {
                break;
            }
        }
        FeedLine();
        ServeLine();
        Flush();
    }
    return ended_.empty() ? "left" : ended_;
}

// Returns false once the client has gone; what it sent that has not reached the line yet goes
// with it.
bool Session::TakeClientBytes() {
    std::array<std::uint8_t, kChunkBytes> chunk{};
    const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (got == 0) {
        return false;
    }
    parser_.Feed(chunk.data(), static_cast<std::size_t>(got), *this);
    return true;
}

// The line's own write waits until its transmitter holds what is unsent, which at a slow speed
// would hold the whole server. So the server keeps its own account of when the line is free
// and hands it no more than a transmitter's worth ahead of that; a write then never waits more
// than a character or so. Nothing goes while the client holds the line in break.
void Session::FeedLine() {
    if (to_line_.empty() || line_in_break_) {
        return;
    }
    platform::LineSettings settings;
    if (!line_.GetSettings(settings) || settings.BaudRate == 0) {
        return;
    }
    const std::int64_t char_ns = 10'000'000'000 / settings.BaudRate;
    const std::int64_t now_ns = platform::NowNs();
    line_free_ns_ = std::max(line_free_ns_, now_ns);
    const auto ahead = static_cast<std::size_t>((line_free_ns_ - now_ns) / char_ns);
    if (ahead >= platform::kTransmitFifoBytes) {
        return;
    }
    const std::size_t count = std::min(to_line_.size(), platform::kTransmitFifoBytes - ahead);
    const std::vector<std::uint8_t> bytes(to_line_.begin(),
                                          to_line_.begin() + static_cast<std::ptrdiff_t>(count));
    to_line_.erase(to_line_.begin(), to_line_.begin() + static_cast<std::ptrdiff_t>(count));
    std::size_t written = 0;
    line_.Write(bytes.data(), bytes.size(), written);
    line_free_ns_ += static_cast<std::int64_t>(count) * char_ns;
}

// The break report goes first: bytes that came with it in the same look came after the break
// began, most likely its answer's successors.
void Session::ServeLine() {
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    line_.ClearError(errors, waiting);
    if ((errors & platform::kLineBreakFlag) != 0 && (line_state_mask_ & kLineStateBreak) != 0) {
        Reply(kComNotifyLineState, {static_cast<std::uint8_t>(kLineStateBreak)});
    }
    if (waiting == 0) {
        return;
    }
    std::vector<std::uint8_t> bytes(std::min<std::size_t>(waiting, kChunkBytes));
    std::size_t got = 0;
    line_.Read(bytes.data(), bytes.size(), got);
    AppendData(bytes.data(), got, out_);
}

// Sends what the client will take now and keeps the rest. A client that lets more than
// kMaxOutgoingBytes pile up, or takes nothing for kStalledClientMs, is dropped.
void Session::Flush() {
    std::size_t sent = 0;
    while (sent < out_.size()) {
        const ssize_t done =
            ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (done > 0) {
            sent += static_cast<std::size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        ended_ = "left";
        out_.clear();
        return;
    }
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent));
    const std::int64_t now_ns = platform::NowNs();
    if (out_.empty()) {
        stalled_since_ns_ = -1;
        return;
    }
    if (sent > 0 || stalled_since_ns_ < 0) {
        stalled_since_ns_ = now_ns;
    }
    if (out_.size() > kMaxOutgoingBytes) {
        ended_ = "dropped: it let more than " + std::to_string(kMaxOutgoingBytes) +
                 " bytes pile up unread";
    } else if (now_ns - stalled_since_ns_ >= kStalledClientMs * kNsPerMs) {
        ended_ = "dropped: it read nothing for " + std::to_string(kStalledClientMs) + " ms";
    }
}

void Session::OnSubnegotiation(const std::vector<std::uint8_t>& body) {
    if (body.size() >= 2 && body[0] == kOptionComPort) {
        Command(body[1], std::vector<std::uint8_t>(body.begin() + 2, body.end()));
    }
}

std::uint32_t ValueOf(const std::vector<std::uint8_t>& value) {
    std::uint32_t number = 0;
    for (const std::uint8_t byte : value) {
        number = (number << 8) | byte;
    }
    return number;
}

void Session::Command(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    const std::uint32_t number = ValueOf(value);
    switch (command) {
        case kComSignature:
            Reply(command,
                  std::vector<std::uint8_t>(std::begin(kSignature), std::end(kSignature) - 1));
            break;
        case kComSetBaudRate:
        case kComSetDataSize:
        case kComSetParity:
        case kComSetStopSize:
            // A value of 0 asks for the current setting without changing it.
            if (number != 0) {
                ChangeSettings(command, number);
            }
            Reply(command, command == kComSetBaudRate
                               ? BigEndian32(CurrentSetting(command))
                               : std::vector<std::uint8_t>{
                                     static_cast<std::uint8_t>(CurrentSetting(command))});
            break;
        case kComSetControl:
            if (number == kControlBreakOn) {
                line_in_break_ = line_.SetBreak();
            } else if (number == kControlBreakOff) {
                line_.ClearBreak();
                line_in_break_ = false;
            }
            Reply(command,
                  {static_cast<std::uint8_t>(number == 0 ? kControlNoFlowControl : number)});
            break;
        case kComSetLineStateMask:
            line_state_mask_ = static_cast<std::uint8_t>(number);
            Reply(command, {line_state_mask_});
            break;
        case kComPurgeData:
            line_.Purge(((number & kPurgeServerReceive) != 0 ? platform::kPurgeRxClear : 0) |
                        ((number & kPurgeServerTransmit) != 0 ? platform::kPurgeTxClear : 0));
            Reply(command, {static_cast<std::uint8_t>(number)});
            break;
        case kComSetModemStateMask:
            Reply(command, {static_cast<std::uint8_t>(number)});
            break;
        default:
            break;  // flow control suspend and resume mean nothing without flow control
    }
}

// Parity and stop size go over the network as 1-based codes of their own.
void Session::ChangeSettings(std::uint8_t command, std::uint32_t value) {
    platform::LineSettings settings;
    if (!line_.GetSettings(settings)) {
        return;
    }
    if (command == kComSetBaudRate) {
        // A speed the server does not offer is refused: the answer names the speed that stays.
        if (value < kMinBaudRate || value > kMaxBaudRate) {
            return;
        }
        settings.BaudRate = value;
    } else if (command == kComSetDataSize && value >= 5 && value <= 8) {
        settings.ByteSize = static_cast<std::uint8_t>(value);
    } else if (command == kComSetParity && value <= 5) {
        settings.Parity = static_cast<std::uint8_t>(value - 1);
    } else if (command == kComSetStopSize && value <= 3) {
        settings.StopBits = value == 1 ? 0 : value == 2 ? 2 : 1;
    } else {
        return;
    }
    line_.SetSettings(settings);
}

std::uint32_t Session::CurrentSetting(std::uint8_t command) {
    platform::LineSettings settings;
    line_.GetSettings(settings);
    switch (command) {
        case kComSetBaudRate:
            return settings.BaudRate;
        case kComSetDataSize:
            return settings.ByteSize;
        case kComSetParity:
            return settings.Parity + 1u;
        default:
            return settings.StopBits == 0 ? 1u : settings.StopBits == 2 ? 2u : 3u;
    }
}

std::string Describe(const sockaddr* address, socklen_t length) {
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> port{};
    if (::getnameinfo(address, length, host.data(), host.size(), port.data(), port.size(),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    const std::string name = host.data();
    const bool v6 = name.find(':') != std::string::npos;
    return (v6 ? "[" + name + "]" : name) + ":" + port.data();
}

}  // namespace

std::string ServeClient(int client_fd, platform::SerialDevice& line,
                        const std::atomic<bool>& stop) {
    const int on = 1;
    ::setsockopt(client_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return Session(client_fd, line).Run(stop);
}

int Listen(const std::string& host, std::uint16_t port, std::string& bound, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        failure != 0) {
        error = "cannot listen on " + host + ": " + ::gai_strerror(failure);
        return -1;
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, ::freeaddrinfo);
    const int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(fd, list->ai_addr, list->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
        error = "cannot listen on " + host + " port " + service + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    bound = Describe(reinterpret_cast<sockaddr*>(&address), length);
    return fd;
}

void ServeClients(int listen_fd, const sim::SimOptions& options, const std::atomic<bool>& stop,
                  std::FILE* log) {
    while (!stop.load()) {
        pollfd entry{listen_fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        const int client =
            ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        const std::string who = Describe(reinterpret_cast<sockaddr*>(&peer), length);
        if (log != nullptr) {
            std::fprintf(log, "client %s connected\n", who.c_str());
            std::fflush(log);
        }
        std::string ended;
        {
            sim::SimulatedLine line(std::make_shared<sim::SimWorld>(options));
            ended = ServeClient(client, line, stop);
        }
        ::close(client);
        if (log != nullptr) {
            std::fprintf(log, "client %s %s\n", who.c_str(), ended.c_str());
            std::fflush(log);
        }
    }
}

}  // namespace vantor::drivesim
