// The RFC 2217 backend's own half: data goes over a TCP connection as telnet binary data, the
// line settings, breaks and purges as serial port control commands, and the server's line state
// reports feed the break flag of the shared receive side (buffered_serial_device.h). Nothing
// here waits on the socket: every call takes what has arrived and goes on.
#include "platform/serial/rfc2217_device.h"

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
#include <optional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/serial/buffered_serial_device.h"
#include "platform/serial/rfc2217_telnet.h"

namespace vantor::platform {

namespace {

using namespace telnet;

constexpr char kScheme[] = "rfc2217://";
// A server that takes no bytes for this long is taken as gone.
constexpr std::int64_t kSendBudgetMs = 2000;

struct HostPort {
    std::string host;
    std::string port;
};

bool IsPortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int number = std::stoi(text);
    return number >= 1 && number <= 65535;
}

// "rfc2217://HOST:PORT", HOST in brackets when it is an IPv6 address.
std::optional<HostPort> ParseAddress(const std::string& address) {
    const std::string rest = address.substr(sizeof(kScheme) - 1);
    HostPort parsed;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return std::nullopt;
        }
        parsed = {rest.substr(1, close - 1), rest.substr(close + 2)};
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        parsed = {rest.substr(0, colon), rest.substr(colon + 1)};
        if (parsed.host.find(':') != std::string::npos) {
            return std::nullopt;
        }
    }
    if (parsed.host.empty() || !IsPortNumber(parsed.port)) {
        return std::nullopt;
    }
    return parsed;
}

// Waits on the process clock until a non-blocking connect has ended or the deadline passed.
bool AwaitConnected(int fd, std::int64_t deadline_ns, std::string& why) {
    while (true) {
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, 0) > 0) {
            int failure = 0;
            socklen_t length = sizeof(failure);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
                failure = errno;
            }
            why = failure != 0 ? std::strerror(failure) : "";
            return failure == 0;
        }
        if (NowNs() >= deadline_ns) {
            why = "no answer within " + std::to_string(kRfc2217OpenBudgetMs) + " ms";
            return false;
        }
        Sleep(1);
    }
}

int ConnectTo(const addrinfo& entry, std::int64_t deadline_ns, std::string& why) {
    const int fd = ::socket(entry.ai_family, entry.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            entry.ai_protocol);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (::connect(fd, entry.ai_addr, entry.ai_addrlen) == 0 ||
        (errno == EINPROGRESS && AwaitConnected(fd, deadline_ns, why))) {
        return fd;
    }
    if (errno != EINPROGRESS) {
        why = std::strerror(errno);
    }
    ::close(fd);
    return -1;
}

// Tries each address of the host in turn, all within one deadline.
int Connect(const HostPort& target, std::int64_t deadline_ns, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (const int failure = ::getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &list);
        failure != 0) {
        why = ::gai_strerror(failure);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* entry = list; entry != nullptr && fd < 0; entry = entry->ai_next) {
        fd = ConnectTo(*entry, deadline_ns, why);
        if (NowNs() >= deadline_ns) {
            break;
        }
    }
    ::freeaddrinfo(list);
    return fd;
}

class Rfc2217Device final : public BufferedSerialDevice, private Listener {
  public:
    explicit Rfc2217Device(int fd)
        : BufferedSerialDevice(fd),
          negotiator_({kOptionBinary, kOptionSuppressGoAhead, kOptionComPort},
                      {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort}) {}
    ~Rfc2217Device() override { Close(); }
    Rfc2217Device(const Rfc2217Device&) = delete;
    Rfc2217Device& operator=(const Rfc2217Device&) = delete;

    bool Negotiate(std::int64_t deadline_ns, std::string& why);

    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool Purge(std::uint32_t flags) override;
    // The server's answers to break on and off are not waited for: some servers acknowledge
    // the break's end wrongly, and the drive's answer is what counts.
    bool SetBreak() override { return SendCommand(kComSetControl, {kControlBreakOn}); }
    bool ClearBreak() override { return SendCommand(kComSetControl, {kControlBreakOff}); }
    bool Close() override;

  private:
    bool ComPortAgreed() const;
    // Takes what the server sent, then answers its negotiations.
    void Pump() override;
    ssize_t ReceiveSome(std::uint8_t* into, std::size_t room) override;
    void Decode(const std::uint8_t* bytes, std::size_t count) override {
        parser_.Feed(bytes, count, *this);
    }
    // Only a socket with nothing to read yet is still there; an orderly close or a reset ends
    // the port for good.
    bool IsGoneError(int error) const override { return error != EAGAIN && error != EWOULDBLOCK; }
    bool Send(const std::vector<std::uint8_t>& bytes);
    bool SendCommand(std::uint8_t command, const std::vector<std::uint8_t>& value);

    void OnData(std::uint8_t byte) override { QueueByte(byte); }
    // The negotiator bounds what a connection can draw from it; the check keeps the buffer
    // bounded whatever a future negotiator does.
    void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
        if (replies_.size() < Negotiator::kMaxReplyBytes) {
            negotiator_.Receive(verb, option, replies_);
        }
    }
    void OnSubnegotiation(const std::vector<std::uint8_t>& body) override;

    Parser parser_;
    Negotiator negotiator_;
    std::vector<std::uint8_t> replies_;
    LineSettings settings_;
    bool settings_sent_ = false;
};

bool Rfc2217Device::ComPortAgreed() const {
    return negotiator_.Local(kOptionComPort) == Negotiator::State::Yes ||
           negotiator_.Remote(kOptionComPort) == Negotiator::State::Yes;
}

bool Rfc2217Device::Negotiate(std::int64_t deadline_ns, std::string& why) {
    std::vector<std::uint8_t> offer;
    negotiator_.Request(kWill, kOptionBinary, offer);
    negotiator_.Request(kDo, kOptionBinary, offer);
    negotiator_.Request(kWill, kOptionSuppressGoAhead, offer);
    negotiator_.Request(kDo, kOptionSuppressGoAhead, offer);
    negotiator_.Request(kWill, kOptionComPort, offer);
    Send(offer);
    // Each round takes a bounded pump's worth of what the server sent; the agreement is looked
    // at before the deadline, so an answer that came in the last round still counts.
    while (true) {
        Pump();
        if (ComPortAgreed()) {
            break;
        }
        if (!Usable()) {
            why = "the server closed the connection";
            return false;
        }
        if (negotiator_.Local(kOptionComPort) == Negotiator::State::No) {
            why = "the server does not offer serial port control (RFC 2217)";
            return false;
        }
        if (NowNs() >= deadline_ns) {
            why = "no serial port control (RFC 2217) agreed within " +
                  std::to_string(kRfc2217OpenBudgetMs) + " ms";
            return false;
        }
        Sleep(1);
    }
    // The drive's breaks reach this end only as line state reports, and only once asked for.
    std::vector<std::uint8_t> setup;
    AppendComPortCommand(kComSetLineStateMask, {kLineStateBreak}, setup);
    AppendComPortCommand(kComSetControl, {kControlNoFlowControl}, setup);
    if (!Send(setup)) {
        why = "the server closed the connection";
        return false;
    }
    return true;
}

void Rfc2217Device::OnSubnegotiation(const std::vector<std::uint8_t>& body) {
    if (body.size() < 3 || body[0] != kOptionComPort ||
        body[1] != kComNotifyLineState + kServerCommandOffset) {
        return;  // the server's answers to settings are advisory
    }
    const std::uint8_t state = body[2];
    RaiseErrors((state & kLineStateBreak) != 0 ? kLineBreakFlag : 0);
    RaiseErrors((state & kLineStateOverrun) != 0 ? kLineErrorOverrun : 0);
    RaiseErrors((state & kLineStateParity) != 0 ? kLineErrorParity : 0);
    RaiseErrors((state & kLineStateFraming) != 0 ? kLineErrorFrame : 0);
}

ssize_t Rfc2217Device::ReceiveSome(std::uint8_t* into, std::size_t room) {
    const ssize_t got = ::recv(fd(), into, room, MSG_DONTWAIT);
    if (got == 0) {
        MarkGone();  // the server closed the connection
    }
    return got;
}

void Rfc2217Device::Pump() {
    ReceiveIntoQueue();
    if (!replies_.empty()) {
        Send(std::exchange(replies_, {}));
    }
}

bool Rfc2217Device::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    const std::int64_t deadline_ns = NowNs() + kSendBudgetMs * 1'000'000;
    InterruptRetries interrupts;
    while (Usable() && sent < bytes.size()) {
        const ssize_t done =
            ::send(fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (done > 0) {
            sent += static_cast<std::size_t>(done);
            continue;
        }
        if (interrupts.Again(done)) {
            continue;
        }
        if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && NowNs() < deadline_ns) {
            // The server may itself be waiting for this end to read; keep taking its bytes.
            ReceiveIntoQueue();
            Sleep(1);
            continue;
        }
        // Half a command would break the stream's framing, so the connection is given up.
        MarkGone();
    }
    return sent == bytes.size();
}

bool Rfc2217Device::SendCommand(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> bytes;
    AppendComPortCommand(command, value, bytes);
    return Usable() && Send(bytes);
}

bool Rfc2217Device::GetSettings(LineSettings& settings) {
    settings = settings_;
    return Usable();
}

bool Rfc2217Device::SetSettings(const LineSettings& settings) {
    static constexpr std::array<std::uint8_t, 5> kParityValues = {1, 2, 3, 4, 5};
    static constexpr std::array<std::uint8_t, 3> kStopValues = {1, 3, 2};
    if (!Usable() || settings.BaudRate == 0 || settings.ByteSize < 5 || settings.ByteSize > 8 ||
        settings.Parity > 4 || settings.StopBits > 2) {
        return false;
    }
    std::vector<std::uint8_t> bytes;
    const bool all = !settings_sent_;
    if (all || settings.BaudRate != settings_.BaudRate) {
        AppendComPortCommand(kComSetBaudRate, BigEndian32(settings.BaudRate), bytes);
    }
    if (all || settings.ByteSize != settings_.ByteSize) {
        AppendComPortCommand(kComSetDataSize, {settings.ByteSize}, bytes);
    }
    if (all || settings.Parity != settings_.Parity) {
        AppendComPortCommand(kComSetParity, {kParityValues[settings.Parity]}, bytes);
    }
    if (all || settings.StopBits != settings_.StopBits) {
        AppendComPortCommand(kComSetStopSize, {kStopValues[settings.StopBits]}, bytes);
    }
    settings_ = settings;
    settings_sent_ = true;
    return Send(bytes);
}

bool Rfc2217Device::Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) {
    written = 0;
    if (!Usable()) {
        return false;
    }
    std::vector<std::uint8_t> escaped;
    AppendData(bytes, count, escaped);
    written = Send(escaped) ? count : 0;
    return written == count;
}

bool Rfc2217Device::Purge(std::uint32_t flags) {
    std::uint8_t which = 0;
    if ((flags & kPurgeRxClear) != 0) {
        // What has reached this end was received before the purge and goes with it.
        ReceiveIntoQueue();
        DropReceived();
        which |= kPurgeServerReceive;
    }
    if ((flags & kPurgeTxClear) != 0) {
        which |= kPurgeServerTransmit;
    }
    return which == 0 ? Usable() : SendCommand(kComPurgeData, {which});
}

bool Rfc2217Device::Close() {
    if (fd() < 0) {
        return false;
    }
    // Unread bytes at close would make the system reset the connection, which may drop the
    // last bytes sent (the reset frame) on their way; they are taken first, and the server
    // sees an orderly end.
    if (Usable()) {
        ReceiveIntoQueue();
        ::shutdown(fd(), SHUT_WR);
    }
    return ::close(ReleaseFd()) == 0;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenRfc2217Device(const std::string& address, std::string* error) {
    const auto target = ParseAddress(address);
    if (!target) {
        SetOpenError(error, "the address \"" + address + "\" is not rfc2217://HOST:PORT");
        return nullptr;
    }
    const std::string where = target->host + ":" + target->port;
    const std::int64_t deadline_ns = NowNs() + std::int64_t{kRfc2217OpenBudgetMs} * 1'000'000;
    std::string why;
    const int fd = Connect(*target, deadline_ns, why);
    if (fd < 0) {
        SetOpenError(error, "cannot connect to " + where + ": " + why);
        return nullptr;
    }
    // Every byte of the protocol is a poll's worth of time; none may wait for company.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    auto device = std::make_unique<Rfc2217Device>(fd);
    if (!device->Negotiate(deadline_ns, why)) {
        SetOpenError(error, "cannot open the serial port at " + where + ": " + why);
        return nullptr;
    }
    return device;
}

}  // namespace vantor::platform
