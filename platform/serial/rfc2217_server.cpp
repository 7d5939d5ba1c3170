#include "platform/serial/rfc2217_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/program_options.h"
#include "platform/serial/rfc2217_telnet.h"

namespace vantor::platform::rfc2217_server {

namespace {

using namespace telnet;

constexpr std::size_t kChunkBytes = 4096;
constexpr std::int64_t kNsPerMs = 1'000'000;

// Values of SET-CONTROL beyond those the client of this project sends: queries, and the settings
// of the lines and of flow control in each direction.
constexpr std::uint8_t kControlQueryFlowControl = 0;
constexpr std::uint8_t kControlQueryBreak = 4;
constexpr std::uint8_t kControlQueryDtr = 7;
constexpr std::uint8_t kControlDtrOn = 8;
constexpr std::uint8_t kControlDtrOff = 9;
constexpr std::uint8_t kControlQueryRts = 10;
constexpr std::uint8_t kControlRtsOn = 11;
constexpr std::uint8_t kControlRtsOff = 12;
constexpr std::uint8_t kControlQueryInboundFlowControl = 13;
constexpr std::uint8_t kControlNoInboundFlowControl = 14;
constexpr std::uint8_t kControlLastFlowControl = 19;
// Flow control values that concern the inbound direction only.
constexpr std::uint8_t kControlInboundXonXoff = 15;
constexpr std::uint8_t kControlInboundHardware = 16;
constexpr std::uint8_t kControlInboundDtr = 18;
// The modem state's lines are the high nibble; each has its change bit in the low one.
constexpr std::uint8_t kModemLinesMask = 0xF0;
constexpr std::uint8_t kModemRingLine = 0x40;
constexpr std::uint8_t kModemRingTrailingEdge = 0x04;

class Session final : private Listener {
  public:
    Session(int fd, SerialDevice& line, const std::string& signature)
        : fd_(fd),
          line_(line),
          signature_(signature),
          negotiator_({kOptionBinary, kOptionSuppressGoAhead, kOptionComPort},
                      {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort}) {}

    // Serves until the client leaves, is dropped or `stop` is set; says why it ended.
    std::string Run(const std::atomic<bool>& stop);

  private:
    bool Busy() const;
    void WaitForClientOrLine();
    void TakeClientBytes();
    void EndOnceDrained();
    void FeedLine();
    void ServeLine();
    void ReportBreak(bool seen);
    void WatchModem(bool force);
    void Flush();

    void OnData(std::uint8_t byte) override { to_line_.push_back(byte); }
    void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
        negotiator_.Receive(verb, option, out_);
    }
    void OnSubnegotiation(const std::vector<std::uint8_t>& body) override;
    void Command(std::uint8_t command, const std::vector<std::uint8_t>& value);
    std::optional<std::uint8_t> Control(std::uint8_t value);
    void ChangeSettings(std::uint8_t command, std::uint32_t value);
    std::uint32_t CurrentSetting(std::uint8_t command);
    void Reply(std::uint8_t command, const std::vector<std::uint8_t>& value) {
        AppendComPortCommand(command + kServerCommandOffset, value, out_);
    }
    bool ComPortAgreed() const {
        return negotiator_.Local(kOptionComPort) == Negotiator::State::Yes ||
               negotiator_.Remote(kOptionComPort) == Negotiator::State::Yes;
    }

    int fd_;
    SerialDevice& line_;
    const std::string& signature_;
    Parser parser_;
    Negotiator negotiator_;
    // What waits to go to the client; bounded by kMaxOutgoingBytes.
    std::vector<std::uint8_t> out_;
    std::int64_t stalled_since_ns_ = -1;  // when the client last took nothing of out_
    std::int64_t moved_ns_ = 0;           // when data last moved between client and line
    // The line's descriptor while it has one to wait on.
    int line_fd_ = -1;
    // When the client was seen to have shut its side (-1: not yet), and whether everything it
    // sent before has been read.
    std::int64_t shut_ns_ = -1;
    bool all_read_ = false;
    // The client's data on its way to the line, at line rate; while it holds kMaxLineQueueBytes
    // nothing more is taken from the client, so TCP holds the client back.
    std::deque<std::uint8_t> to_line_;
    std::int64_t line_free_ns_ = 0;  // when what went to the line so far has gone out
    bool line_in_break_ = false;     // the client holds the line in break
    bool break_received_ = false;    // the line was in break at the last look
    // The modem control lines as the client set them. A device without modem lines keeps them
    // here only, so that the client hears back what it set.
    bool dtr_on_ = true;
    bool rts_on_ = true;
    std::uint8_t line_state_mask_ = 0;
    std::uint8_t modem_state_mask_ = 0xFF;  // RFC 2217's initial mask
    std::uint8_t modem_lines_ = 0;          // as last reported
    bool modem_reported_ = false;
    std::int64_t modem_looked_ns_ = 0;
    std::string ended_;
};

std::string Session::Run(const std::atomic<bool>& stop) {
    negotiator_.Request(kWill, kOptionBinary, out_);
    negotiator_.Request(kDo, kOptionBinary, out_);
    negotiator_.Request(kWill, kOptionSuppressGoAhead, out_);
    negotiator_.Request(kDo, kOptionSuppressGoAhead, out_);
    negotiator_.Request(kDo, kOptionComPort, out_);
    Flush();
    moved_ns_ = NowNs();
    line_fd_ = line_.WaitableFd();
    while (ended_.empty() && !stop.load()) {
        WaitForClientOrLine();
        if (!ended_.empty()) {
            break;
        }
        FeedLine();
        ServeLine();
        // Real servers tell the modem state as soon as the client takes up serial port
        // control; some clients wait for it before they report a line.
        WatchModem(!modem_reported_ && ComPortAgreed());
        Flush();
        if (const char* lost = line_.Condition().lost; lost != nullptr && ended_.empty()) {
            ended_ = std::string("dropped: ") + lost;
        }
        EndOnceDrained();
    }
    return ended_.empty() ? "left" : ended_;
}

bool Session::Busy() const {
    return !to_line_.empty() || !out_.empty() || line_in_break_ || break_received_ ||
           NowNs() - moved_ns_ < kBusyHoldMs * kNsPerMs;
}

// Sleeps until the client sends, the line receives (where it has a descriptor) or the poll
// interval ends, and takes what the client sent while the line queue has room. Its shutdown is
// noticed even while nothing is taken from it: a FIN that has arrived behind unread data
// raises POLLRDHUP all the same.
void Session::WaitForClientOrLine() {
    const bool take = !all_read_ && to_line_.size() < kMaxLineQueueBytes;
    const auto client_events =
        static_cast<short>((take ? POLLIN : 0) | (shut_ns_ < 0 ? POLLRDHUP : 0));
    std::array<pollfd, 2> entries{{{fd_, client_events, 0}, {line_fd_, POLLIN, 0}}};
    const nfds_t count = line_fd_ >= 0 ? 2 : 1;
    if (::poll(entries.data(), count, Busy() ? kBusyPollMs : kIdlePollMs) <= 0) {
        return;
    }
    // A descriptor that is not this process's (a test's stand-in for a UART) cannot be waited on.
    if (count == 2 && (entries[1].revents & POLLNVAL) != 0) {
        line_fd_ = -1;
    }
    const short client = entries[0].revents;
    if ((client & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        int error = 0;
        socklen_t length = sizeof(error);
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        ended_ = error == ETIMEDOUT ? "dropped: it stopped answering (keepalive)" : "left";
        return;
    }
    if ((client & POLLRDHUP) != 0 && shut_ns_ < 0) {
        shut_ns_ = NowNs();
    }
    if (take && (client & (POLLIN | POLLRDHUP)) != 0) {
        // What the line received so far goes out first, so that an answer to a command the
        // client sends now comes after it: a client's fence (a query answered at once) then
        // tells it that everything the drive sent until the query arrived has reached it.
        ServeLine();
        TakeClientBytes();
    }
}

// Takes one chunk of what the client sent into the line queue (commands act as they come, so a
// purge drops what came before it and keeps what follows); notes the end of its stream and a
// connection that failed.
void Session::TakeClientBytes() {
    std::array<std::uint8_t, kChunkBytes> chunk{};
    const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ended_ = "left";
        }
        return;
    }
    if (got == 0) {
        all_read_ = true;
        shut_ns_ = shut_ns_ < 0 ? NowNs() : shut_ns_;
        return;
    }
    moved_ns_ = NowNs();
    parser_.Feed(chunk.data(), static_cast<std::size_t>(got), *this);
}

// A client that has shut its side is let go once what it sent has gone to the line, or after
// kShutDrainMs with the rest dropped, so that its data cannot hold the port at a slow speed.
void Session::EndOnceDrained() {
    if (shut_ns_ < 0 || !ended_.empty()) {
        return;
    }
    const std::size_t left = to_line_.size();
    if (all_read_ && left == 0) {
        ended_ = "left";
    } else if (NowNs() - shut_ns_ >= kShutDrainMs * kNsPerMs) {
        ended_ = "left; " + std::to_string(left) + " bytes it sent were dropped after " +
                 std::to_string(kShutDrainMs) + " ms" + (all_read_ ? "" : " with more unread");
    }
}

// The line's own write waits until its transmitter holds what is unsent, which at a slow speed
// would hold the whole server. So the server keeps its own account of when the line is free
// and hands it no more than a transmitter's worth ahead of that; a write then never waits more
// than a character or so. Nothing goes while the client holds the line in break.
void Session::FeedLine() {
    if (to_line_.empty() || line_in_break_) {
        return;
    }
    LineSettings settings;
    if (!line_.GetSettings(settings) || settings.BaudRate == 0) {
        return;
    }
    const std::int64_t char_ns = 10'000'000'000 / settings.BaudRate;
    const std::int64_t now_ns = NowNs();
    line_free_ns_ = std::max(line_free_ns_, now_ns);
    const auto ahead = static_cast<std::size_t>((line_free_ns_ - now_ns) / char_ns);
    if (ahead >= kTransmitFifoBytes) {
        return;
    }
    const std::size_t count = std::min(to_line_.size(), kTransmitFifoBytes - ahead);
    const std::vector<std::uint8_t> bytes(to_line_.begin(),
                                          to_line_.begin() + static_cast<std::ptrdiff_t>(count));
    to_line_.erase(to_line_.begin(), to_line_.begin() + static_cast<std::ptrdiff_t>(count));
    std::size_t written = 0;
    line_.Write(bytes.data(), bytes.size(), written);
    line_free_ns_ += static_cast<std::int64_t>(count) * char_ns;
    moved_ns_ = now_ns;
}

// The break report goes first: bytes that came with it in the same look came after the break
// began, most likely its answer's successors.
void Session::ServeLine() {
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    line_.ClearError(errors, waiting);
    ReportBreak((errors & kLineBreakFlag) != 0);
    if (waiting == 0) {
        return;
    }
    std::vector<std::uint8_t> bytes(std::min<std::size_t>(waiting, kChunkBytes));
    std::size_t got = 0;
    line_.Read(bytes.data(), bytes.size(), got);
    AppendData(bytes.data(), got, out_);
    moved_ns_ = got > 0 ? NowNs() : moved_ns_;
}

// The break flag is set at every look while a break lasts on some lines (the simulated one) and
// once per break on others (a UART marks its start only). Either way the client hears of each
// break once when it begins, and once more, without the break bit, when the line was seen out
// of it.
void Session::ReportBreak(bool seen) {
    if (seen == break_received_) {
        return;
    }
    break_received_ = seen;
    if ((line_state_mask_ & kLineStateBreak) != 0) {
        Reply(kComNotifyLineState, {static_cast<std::uint8_t>(seen ? kLineStateBreak : 0)});
    }
}

// Reports the modem status lines when they changed, with the change bits, or whenever `force`
// is set. A device without modem lines reports none on.
void Session::WatchModem(bool force) {
    const std::int64_t now_ns = NowNs();
    if (!force && now_ns - modem_looked_ns_ < kModemPollMs * kNsPerMs) {
        return;
    }
    modem_looked_ns_ = now_ns;
    std::uint32_t status = 0;
    line_.GetModemStatus(status);
    const auto lines = static_cast<std::uint8_t>(status & kModemLinesMask);
    // The first report tells the lines as they are, without changes.
    const auto changed = static_cast<std::uint8_t>(modem_reported_ ? lines ^ modem_lines_ : 0);
    if (!force && changed == 0) {
        return;
    }
    auto deltas = static_cast<std::uint8_t>((changed >> 4) & ~(kModemRingTrailingEdge));
    if ((changed & kModemRingLine) != 0 && (lines & kModemRingLine) == 0) {
        deltas |= kModemRingTrailingEdge;
    }
    modem_lines_ = lines;
    modem_reported_ = true;
    const auto state = static_cast<std::uint8_t>((lines | deltas) & modem_state_mask_);
    if (force || (state & ~kModemLinesMask) != 0) {
        Reply(kComNotifyModemState, {state});
    }
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
    const std::int64_t now_ns = NowNs();
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
            Reply(command, std::vector<std::uint8_t>(signature_.begin(), signature_.end()));
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
            if (const auto answer = value.empty() ? std::nullopt : Control(value[0])) {
                Reply(command, {*answer});
            }
            break;
        case kComSetLineStateMask:
            line_state_mask_ = static_cast<std::uint8_t>(number);
            Reply(command, {line_state_mask_});
            break;
        case kComSetModemStateMask:
            modem_state_mask_ = static_cast<std::uint8_t>(number);
            Reply(command, {modem_state_mask_});
            WatchModem(true);
            break;
        case kComNotifyModemState:
            WatchModem(true);  // a client asking for the modem state now
            break;
        case kComPurgeData:
            line_.Purge(((number & kPurgeServerReceive) != 0 ? kPurgeRxClear : 0) |
                        ((number & kPurgeServerTransmit) != 0 ? kPurgeTxClear : 0));
            if ((number & kPurgeServerTransmit) != 0) {
                to_line_.clear();
            }
            Reply(command, {static_cast<std::uint8_t>(number)});
            break;
        default:
            break;  // flow control suspend and resume mean nothing without flow control
    }
}

// Carries out one SET-CONTROL value and returns the answer: the state it leaves. A query changes
// nothing; a flow control the server does not do is answered with the one it keeps, none. A
// value it does not know is not answered.
std::optional<std::uint8_t> Session::Control(std::uint8_t value) {
    switch (value) {
        case kControlBreakOn:
            line_in_break_ = line_.SetBreak() || line_in_break_;
            [[fallthrough]];
        case kControlQueryBreak:
            return line_in_break_ ? kControlBreakOn : kControlBreakOff;
        case kControlBreakOff:
            line_in_break_ = !line_.ClearBreak() && line_in_break_;
            return line_in_break_ ? kControlBreakOn : kControlBreakOff;
        case kControlDtrOn:
        case kControlDtrOff:
            dtr_on_ = value == kControlDtrOn;
            line_.SetModemControl(dtr_on_ ? kSetDtr : kClearDtr);
            [[fallthrough]];
        case kControlQueryDtr:
            return dtr_on_ ? kControlDtrOn : kControlDtrOff;
        case kControlRtsOn:
        case kControlRtsOff:
            rts_on_ = value == kControlRtsOn;
            line_.SetModemControl(rts_on_ ? kSetRts : kClearRts);
            [[fallthrough]];
        case kControlQueryRts:
            return rts_on_ ? kControlRtsOn : kControlRtsOff;
        case kControlQueryInboundFlowControl:
        case kControlNoInboundFlowControl:
        case kControlInboundXonXoff:
        case kControlInboundHardware:
        case kControlInboundDtr:
            return kControlNoInboundFlowControl;
        default:
            // The query, none, and XON/XOFF, hardware, DCD and DSR flow control outbound.
            if (value <= kControlLastFlowControl) {
                return kControlNoFlowControl;
            }
            return std::nullopt;
    }
}

// Parity and stop size go over the network as 1-based codes of their own.
void Session::ChangeSettings(std::uint8_t command, std::uint32_t value) {
    LineSettings settings;
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
    LineSettings settings;
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

}  // namespace

std::string ServeClient(int client_fd, SerialDevice& line, const std::atomic<bool>& stop,
                        const std::string& signature, const KeepAlive& keepalive) {
    const int on = 1;
    ::setsockopt(client_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    // Without these a client whose network vanished holds the port until TCP gives up on data
    // the server sends, which an idle client never gets: for good.
    const int unacknowledged_ms = keepalive.UnacknowledgedMs();
    ::setsockopt(client_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    ::setsockopt(client_fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive.idle_s, sizeof(int));
    ::setsockopt(client_fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive.interval_s, sizeof(int));
    ::setsockopt(client_fd, IPPROTO_TCP, TCP_KEEPCNT, &keepalive.probes, sizeof(int));
    ::setsockopt(client_fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof(int));
    return Session(client_fd, line, signature).Run(stop);
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

std::optional<std::uint16_t> ParseTcpPort(const std::string& text) {
    constexpr std::size_t kMostDigits = 5;
    if (text.size() > kMostDigits) {
        return std::nullopt;
    }
    const auto number = ParseWhole(text, 0, 65535);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*number);
}

int AcceptClient(int listen_fd, int wait_ms, sockaddr_storage& peer, std::string& who) {
    pollfd entry{listen_fd, POLLIN, 0};
    if (::poll(&entry, 1, wait_ms) <= 0) {
        return -1;
    }
    socklen_t length = sizeof(peer);
    const int client =
        ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (client >= 0) {
        who = Describe(reinterpret_cast<const sockaddr*>(&peer), length);
    }
    return client;
}

Result<ListeningSocket> Listen(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        failure != 0) {
        return Failure{"cannot listen on " + host + ": " + ::gai_strerror(failure)};
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, ::freeaddrinfo);
    const int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(fd, list->ai_addr, list->ai_addrlen) != 0 || ::listen(fd, kListenBacklog) != 0) {
        Failure failure{"cannot listen on " + host + " port " + service + ": " +
                        std::strerror(errno)};
        if (fd >= 0) {
            ::close(fd);
        }
        return failure;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ListeningSocket{fd, Describe(reinterpret_cast<sockaddr*>(&address), length)};
}

void SendText(int client_fd, const std::string& text) {
    ::send(client_fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace vantor::platform::rfc2217_server
