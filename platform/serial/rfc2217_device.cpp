// The RFC 2217 backend's own half: data goes over a TCP connection as telnet binary data, the
// line settings, breaks and purges as serial port control commands, and the server's line state
// reports feed the break flag of the shared receive side (buffered_serial_device.h). Nothing
// here waits on the socket: every call takes what has arrived and goes on.
#include "platform/serial/rfc2217_device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/program_options.h"
#include "platform/serial/buffered_serial_device.h"
#include "platform/serial/net_socket.h"
#include "platform/serial/rfc2217_telnet.h"
#include "platform/serial/round_trip.h"

namespace vantor::platform {

namespace {

using namespace telnet;

constexpr char kScheme[] = "rfc2217://";
// A server that takes no bytes for this long is taken as gone.
constexpr std::int64_t kSendBudgetMs = 2000;
// How long the open waits for the server to answer the purges that end it; the answers also
// give the first round trips.
constexpr std::int64_t kSettleBudgetMs = 1000;
// The purges at open: the first drops what came before the port was the drive's, the fastest
// of all of them starts the round trip estimate (a packet lost at open slows only one).
constexpr int kOpenExchanges = 3;
// An answer read this long after the previous look at the connection may have waited unread;
// its round trip is not taken as a sample.
constexpr std::int64_t kSampleLookGapNs = 2'000'000;
// Answers awaited at most (of purges, and of line speed queries); a server that stops answering
// purges is not waited for longer than twice the longest answer delay.
constexpr std::size_t kMaxAnswersAwaited = 64;
// Bytes written one at a time are held back and sent together once they take this long on
// the line, or before the writer waits: a segment every 10 ms of line time instead of one a byte.
constexpr std::int64_t kHeldLineTimeNs = 10'000'000;
// A long paced write looks at the connection this often, so that a lost one is noticed.
constexpr std::int64_t kPaceSliceNs = 50'000'000;
// What is shown of a server's own text.
constexpr std::size_t kServerTextChars = 160;

struct HostPort {
    std::string host;
    std::string port;
};

bool IsPortNumber(const std::string& text) {
    constexpr std::size_t kMostDigits = 5;
    return text.size() <= kMostDigits && ParseWhole(text, 1, 65535).has_value();
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

// One host name lookup on a thread of its own, so that the open can stop waiting for it: the
// system's resolver has time-outs of its own, far longer than the open's budget.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    bool found = false;
    std::string failure;
    std::vector<net::SocketAddress> addresses;
};

// The addresses of the host, found within the deadline; empty with `why` otherwise.
std::vector<net::SocketAddress> Resolve(const HostPort& target, std::int64_t deadline_ns,
                                        std::string& why) {
    std::vector<net::SocketAddress> addresses;
    std::string numeric_failure;
    if (net::LookUp(target.host, target.port, true, addresses, numeric_failure)) {
        return addresses;
    }
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, target] {
        std::vector<net::SocketAddress> found;
        std::string failure;
        const bool ok = net::LookUp(target.host, target.port, false, found, failure);
        std::lock_guard lock(lookup->mutex);
        lookup->found = ok;
        lookup->failure = std::move(failure);
        lookup->addresses = std::move(found);
        lookup->done = true;
        lookup->done_changed.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    const auto left = std::chrono::nanoseconds(std::max<std::int64_t>(deadline_ns - NowNs(), 0));
    if (!lookup->done_changed.wait_for(lock, left, [&] { return lookup->done; })) {
        why = "the host name \"" + target.host + "\" was not found within " +
              std::to_string(kRfc2217OpenBudgetMs) + " ms";
        return {};
    }
    if (!lookup->found) {
        why = "the host name \"" + target.host + "\" was not found: " + lookup->failure;
        return {};
    }
    return std::move(lookup->addresses);
}

// Tries each address of the host in turn, all within one deadline.
int Connect(const HostPort& target, std::int64_t deadline_ns, std::string& why) {
    int fd = -1;
    for (const net::SocketAddress& address : Resolve(target, deadline_ns, why)) {
        fd = net::Connect(address, deadline_ns, kRfc2217OpenBudgetMs, why);
        if (fd >= 0 || NowNs() >= deadline_ns) {
            break;
        }
    }
    return fd;
}

class Rfc2217Device final : public BufferedSerialDevice, private Listener, private HeldOutput {
  public:
    explicit Rfc2217Device(int fd)
        : BufferedSerialDevice(fd),
          negotiator_({kOptionBinary, kOptionSuppressGoAhead, kOptionComPort},
                      {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort}) {}
    ~Rfc2217Device() override { Close(); }
    Rfc2217Device(const Rfc2217Device&) = delete;
    Rfc2217Device& operator=(const Rfc2217Device&) = delete;

    bool Negotiate(std::int64_t deadline_ns, std::string& why);
    // Purges both of the server's buffers and waits for its answers: what came before the
    // first (a banner, bytes from before the connection) is not the drive's and is dropped, and
    // the waits start the round trip estimate.
    bool Settle(std::int64_t deadline_ns, std::string& why);

    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool Purge(std::uint32_t flags) override;
    // The server's answers to break on and off are not waited for: some servers acknowledge
    // the break's end wrongly, and the drive's answer is what counts.
    bool SetBreak() override { return SendCommand(kComSetControl, {kControlBreakOn}); }
    bool ClearBreak() override { return SendCommand(kComSetControl, {kControlBreakOff}); }
    bool Close() override;
    // The fence is a query of the line speed (SET-BAUDRATE with 0), which every server answers
    // with the speed as it is, in order with the line's data.
    std::uint64_t SendFence() override;
    bool FenceAnswered(std::uint64_t number) override {
        Pump();
        return fences_answered_ >= number;
    }
    DeviceCondition Condition() const override {
        DeviceCondition condition;
        condition.lost = Gone() ? kLostNetworkPortText : nullptr;
        condition.round_trip_ms = estimate_.MeanMs();
        condition.answer_delay_ms = estimate_.AnswerDelayMs();
        condition.fastest_round_trip_ms = estimate_.FastestMs();
        // A server that never took up break reports passes no break of the drive's.
        condition.carries_no_breaks = !mask_answered_ && !break_reported_;
        return condition;
    }

  private:
    bool ComPortAgreed() const;
    // One step of the open's waits for the server's answers: a millisecond, or less where the
    // system wakes the wait as bytes arrive. Such a wake counts as a look at the connection,
    // so that an answer it brings is a round trip sample even where the system's sleeps are
    // far coarser than kSampleLookGapNs (Windows' timer steps).
    void AwaitAnswer() {
        if (net::AwaitData(fd(), 1)) {
            last_look_ns_ = NowNs();
        }
    }
    // The server's own words, when it sent text rather than the protocol (a refusal).
    std::string ServerText();
    std::string ClosedText();
    // Holds the writer until the bytes written so far have taken their time on the line, all
    // but a transmitter FIFO's worth; it sleeps only once that is more than kHeldLineTimeNs
    // behind, so that bytes written one at a time cost a sleep every 10 ms of line time.
    void PaceAtLineRate(std::size_t count);
    std::int64_t ByteNs() const { return 10'000'000'000 / std::max<std::uint32_t>(line_rate_, 1); }
    // Sends the data bytes held back by Write, before anything else goes to the server.
    void SendHeldOutput() override;
    // True while bytes handed to the server may not have left its transmitter yet: until the
    // line would have sent them here, and the round trip's allowance more.
    bool TransmitMayBeInFlight() const;
    // Sends PURGE-DATA and remembers it, so that its answer gives a round trip and, for a
    // receive purge, ends the dropping of what the server sent before it.
    bool SendPurge(std::uint8_t which);
    void OnPurgeAnswered();
    void OnBaudRateAnswered(const std::vector<std::uint8_t>& body);
    // Data and break reports sent by the server before it carried out a receive purge belong
    // to the time before the purge, and go with it.
    bool BeforeReceivePurge() const;
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

    void OnData(std::uint8_t byte) override {
        if (!BeforeReceivePurge()) {
            QueueByte(byte);
        }
    }
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
    std::uint32_t line_rate_ = 9600;
    // When the bytes handed to the server will have left its transmitter.
    std::int64_t line_free_ns_ = 0;
    // Data written but held back (telnet-escaped), and how many data bytes it holds.
    std::vector<std::uint8_t> held_;
    std::size_t held_bytes_ = 0;
    struct AwaitedPurge {
        std::int64_t sent_ns;
        bool receive;
    };
    // The purges sent whose answers have not come yet, oldest first.
    std::deque<AwaitedPurge> purges_awaited_;
    std::int64_t last_look_ns_ = 0;
    std::int64_t previous_look_ns_ = 0;
    std::vector<std::int64_t> open_samples_ns_;
    // What each awaited SET-BAUDRATE answer is for, oldest first: when a fence was sent, or -1
    // for a change of the line speed.
    std::deque<std::int64_t> baud_answers_awaited_;
    bool fences_work_ = false;  // the server answered the fence at open
    std::uint64_t fences_sent_ = 0;
    std::uint64_t fences_answered_ = 0;
    bool settled_ = false;  // the open's purges are done
    bool purge_answered_ = false;
    bool mask_answered_ = false;
    bool break_reported_ = false;
    RoundTripEstimate estimate_;
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
            why = ClosedText();
            return false;
        }
        if (negotiator_.Local(kOptionComPort) == Negotiator::State::No) {
            why = "the server does not offer serial port control (RFC 2217)";
            return false;
        }
        if (NowNs() >= deadline_ns) {
            const std::string text = ServerText();
            why = "no serial port control (RFC 2217) agreed within " +
                  std::to_string(kRfc2217OpenBudgetMs) + " ms" +
                  (text.empty() ? "" : "; the server sent \"" + text + "\"");
            return false;
        }
        Sleep(1);
    }
    // The drive's breaks reach this end only as line state reports, and only once asked for.
    std::vector<std::uint8_t> setup;
    AppendComPortCommand(kComSetLineStateMask, {kLineStateBreak}, setup);
    AppendComPortCommand(kComSetControl, {kControlNoFlowControl}, setup);
    if (!Send(setup)) {
        why = ClosedText();
        return false;
    }
    return true;
}

bool Rfc2217Device::Settle(std::int64_t deadline_ns, std::string& why) {
    const std::int64_t until_ns = std::min(deadline_ns, NowNs() + kSettleBudgetMs * 1'000'000);
    for (int exchange = 0; exchange < kOpenExchanges; ++exchange) {
        if (!SendPurge(kPurgeServerBoth)) {
            why = ClosedText();
            return false;
        }
        while (!purges_awaited_.empty() && Usable() && NowNs() < until_ns) {
            AwaitAnswer();
            Pump();
        }
        if (!Usable()) {
            why = ClosedText();
            return false;
        }
        if (!purges_awaited_.empty()) {
            break;  // a server that does not answer purges is given no round trip
        }
    }
    // A server that does not answer is given no round trip, and what it sent so far is
    // dropped all the same; its purges are not awaited from now on.
    if (!purge_answered_) {
        purges_awaited_.clear();
        DropReceived();
    }
    // One fence, to learn whether the server answers them.
    fences_work_ = true;
    if (SendFence() != 0) {
        while (fences_answered_ != fences_sent_ && Usable() && NowNs() < until_ns) {
            AwaitAnswer();
            Pump();
        }
    }
    fences_work_ = fences_sent_ != 0 && fences_answered_ == fences_sent_;
    if (!fences_work_) {
        baud_answers_awaited_.clear();
    }
    settled_ = true;
    estimate_.Start(open_samples_ns_.data(), static_cast<int>(open_samples_ns_.size()));
    return true;
}

std::string Rfc2217Device::ServerText() {
    std::string text;
    bool blank = false;
    for (const std::uint8_t byte : ReceiveQueue()) {
        if (text.size() >= kServerTextChars) {
            break;
        }
        if (byte >= 0x20 && byte < 0x7F) {
            if (blank && !text.empty()) {
                text += ' ';
            }
            text += static_cast<char>(byte);
            blank = false;
        } else {
            blank = true;
        }
    }
    return text;
}

std::string Rfc2217Device::ClosedText() {
    const std::string text = ServerText();
    return text.empty() ? "the server closed the connection"
                        : "the server said \"" + text + "\" and closed the connection";
}

void Rfc2217Device::OnSubnegotiation(const std::vector<std::uint8_t>& body) {
    if (body.size() < 2 || body[0] != kOptionComPort) {
        return;
    }
    switch (body[1]) {
        case kComPurgeData + kServerCommandOffset:
            if (!purge_answered_) {
                // Everything before the answer to the opening purge came before the port was
                // the drive's.
                DropReceived();
                purge_answered_ = true;
            }
            OnPurgeAnswered();
            return;
        case kComSetLineStateMask + kServerCommandOffset:
            // A server that answers with a mask without the break bit will not report breaks
            // (Debian 12's ser2net answers 0).
            mask_answered_ = body.size() >= 3 && (body[2] & kLineStateBreak) != 0;
            return;
        case kComSetBaudRate + kServerCommandOffset:
            OnBaudRateAnswered(body);
            return;
        case kComNotifyLineState + kServerCommandOffset:
            break;
        default:
            return;  // the server's other answers are advisory
    }
    if (body.size() < 3) {
        return;
    }
    if (BeforeReceivePurge()) {
        return;  // the line as it was before the purge
    }
    const std::uint8_t state = body[2];
    break_reported_ = break_reported_ || (state & kLineStateBreak) != 0;
    RaiseErrors((state & kLineStateBreak) != 0 ? kLineBreakFlag : 0);
    RaiseErrors((state & kLineStateOverrun) != 0 ? kLineErrorOverrun : 0);
    RaiseErrors((state & kLineStateParity) != 0 ? kLineErrorParity : 0);
    RaiseErrors((state & kLineStateFraming) != 0 ? kLineErrorFrame : 0);
}

ssize_t Rfc2217Device::ReceiveSome(std::uint8_t* into, std::size_t room) {
    previous_look_ns_ = std::exchange(last_look_ns_, NowNs());
    const ssize_t got = net::ReceiveSome(fd(), into, room);
    if (got == 0) {
        MarkGone();  // the server closed the connection
    }
    return got;
}

void Rfc2217Device::Pump() {
    SendHeldOutput();
    ReceiveIntoQueue();
    // A server that stopped answering purges is not waited for: its data counts again.
    if (!purges_awaited_.empty() &&
        last_look_ns_ - purges_awaited_.front().sent_ns >
            std::int64_t{RoundTripEstimate::kMaxAnswerDelayMs} * 2'000'000) {
        purges_awaited_.clear();
    }
    if (!replies_.empty()) {
        Send(std::exchange(replies_, {}));
    }
}

bool Rfc2217Device::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    const std::int64_t deadline_ns = NowNs() + kSendBudgetMs * 1'000'000;
    InterruptRetries interrupts;
    while (Usable() && sent < bytes.size()) {
        const ssize_t done = net::SendSome(fd(), bytes.data() + sent, bytes.size() - sent);
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
    SendHeldOutput();
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
        if (fences_work_ && baud_answers_awaited_.size() < kMaxAnswersAwaited) {
            baud_answers_awaited_.push_back(-1);
        }
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
    line_rate_ = settings.BaudRate;
    return Send(bytes);
}

bool Rfc2217Device::Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) {
    written = 0;
    if (!Usable()) {
        return false;
    }
    AppendData(bytes, count, held_);
    held_bytes_ += count;
    if (static_cast<std::int64_t>(held_bytes_) * ByteNs() >= kHeldLineTimeNs) {
        SendHeldOutput();
    } else {
        HoldOutputUntilSleep(this);
    }
    if (!Usable()) {
        return false;
    }
    written = count;
    PaceAtLineRate(count);
    return Usable();
}

void Rfc2217Device::SendHeldOutput() {
    ForgetHeldOutput(this);
    if (held_.empty()) {
        return;
    }
    const std::vector<std::uint8_t> bytes = std::exchange(held_, {});
    held_bytes_ = 0;
    Send(bytes);
}

void Rfc2217Device::PaceAtLineRate(std::size_t count) {
    const std::int64_t byte_ns = ByteNs();
    const std::int64_t now_ns = NowNs();
    line_free_ns_ = std::max(line_free_ns_, now_ns) + static_cast<std::int64_t>(count) * byte_ns;
    const std::int64_t return_ns =
        line_free_ns_ - static_cast<std::int64_t>(kTransmitFifoBytes) * byte_ns;
    if (return_ns - now_ns <= kHeldLineTimeNs) {
        return;
    }
    SendHeldOutput();
    while (Usable()) {
        const std::int64_t left_ns = return_ns - NowNs();
        if (left_ns <= 0) {
            break;
        }
        ProcessClock().SleepNs(std::min(left_ns, kPaceSliceNs));
        if (left_ns > kPaceSliceNs) {
            ReceiveIntoQueue();  // notices a connection that ended meanwhile
        }
    }
}

bool Rfc2217Device::TransmitMayBeInFlight() const {
    const std::int64_t allowance_ns =
        std::int64_t{estimate_.Known() ? estimate_.AnswerDelayMs()
                                       : RoundTripEstimate::kMaxAnswerDelayMs} *
        1'000'000;
    return NowNs() < line_free_ns_ + allowance_ns;
}

bool Rfc2217Device::SendPurge(std::uint8_t which) {
    SendHeldOutput();
    if (!SendCommand(kComPurgeData, {which})) {
        return false;
    }
    // A server that did not answer the purges at open is not expected to answer later ones.
    if ((!settled_ || purge_answered_) && purges_awaited_.size() < kMaxAnswersAwaited) {
        purges_awaited_.push_back({NowNs(), (which & kPurgeServerReceive) != 0});
    }
    return true;
}

void Rfc2217Device::OnPurgeAnswered() {
    if (purges_awaited_.empty()) {
        return;
    }
    const AwaitedPurge purge = purges_awaited_.front();
    purges_awaited_.pop_front();
    // Only an answer that was looked for soon after it could have come tells the round trip.
    if (last_look_ns_ - previous_look_ns_ > kSampleLookGapNs) {
        return;
    }
    const std::int64_t sample_ns = last_look_ns_ - purge.sent_ns;
    if (estimate_.Known() || open_samples_ns_.size() >= kOpenExchanges) {
        estimate_.Add(sample_ns);
    } else {
        open_samples_ns_.push_back(sample_ns);
    }
}

void Rfc2217Device::OnBaudRateAnswered(const std::vector<std::uint8_t>& body) {
    // The rate the server actually set (or has, for a fence) paces the writes.
    if (body.size() >= 6) {
        const std::uint32_t rate = (std::uint32_t{body[2]} << 24) | (std::uint32_t{body[3]} << 16) |
                                   (std::uint32_t{body[4]} << 8) | body[5];
        line_rate_ = rate != 0 ? rate : line_rate_;
    }
    if (baud_answers_awaited_.empty()) {
        return;
    }
    const std::int64_t fence_sent_ns = baud_answers_awaited_.front();
    baud_answers_awaited_.pop_front();
    if (fence_sent_ns < 0) {
        return;
    }
    ++fences_answered_;
    // Every fence is an exchange with the server, and so a round trip.
    if (estimate_.Known() && last_look_ns_ - previous_look_ns_ <= kSampleLookGapNs) {
        estimate_.Add(last_look_ns_ - fence_sent_ns);
    }
}

std::uint64_t Rfc2217Device::SendFence() {
    if (!fences_work_ || !Usable() || baud_answers_awaited_.size() >= kMaxAnswersAwaited ||
        !SendCommand(kComSetBaudRate, {0, 0, 0, 0})) {
        return 0;
    }
    baud_answers_awaited_.push_back(NowNs());
    return ++fences_sent_;
}

bool Rfc2217Device::BeforeReceivePurge() const {
    return std::any_of(purges_awaited_.begin(), purges_awaited_.end(),
                       [](const AwaitedPurge& purge) { return purge.receive; });
}

bool Rfc2217Device::Purge(std::uint32_t flags) {
    std::uint8_t which = 0;
    if ((flags & kPurgeRxClear) != 0) {
        // What has reached this end was received before the purge and goes with it; what the
        // server sent before it carried the purge out goes when it arrives.
        ReceiveIntoQueue();
        DropReceived();
        which |= kPurgeServerReceive;
    }
    // A write returns once its bytes have left here at line rate, as on a serial line, but the
    // server sends them a one-way trip later: a transmit purge then would drop bytes that the
    // writer counts as sent (the drive's address selection before the switch into its boot
    // loader, say). It goes to the server only once the line must be idle there, when it can
    // drop nothing that was written.
    if ((flags & kPurgeTxClear) != 0 && !TransmitMayBeInFlight()) {
        which |= kPurgeServerTransmit;
    }
    return which == 0 ? Usable() : SendPurge(which);
}

bool Rfc2217Device::Close() {
    if (fd() < 0) {
        return false;
    }
    // Unread bytes at close would make the system reset the connection, which may drop the
    // last bytes sent (the reset frame) on their way; they are taken first, and the server
    // sees an orderly end.
    if (Usable()) {
        SendHeldOutput();
        ReceiveIntoQueue();
        net::ShutdownSending(fd());
    }
    ForgetHeldOutput(this);
    return net::Close(ReleaseFd());
}

}  // namespace

std::optional<std::string> Rfc2217AddressProblem(const std::string& address) {
    if (address.rfind(kScheme, 0) != 0 || ParseAddress(address)) {
        return std::nullopt;
    }
    return "the address \"" + address +
           "\" is not rfc2217://HOST:PORT (PORT a number from 1 to 65535)";
}

std::unique_ptr<SerialDevice> OpenRfc2217Device(const std::string& address, std::string* error) {
    const auto target = ParseAddress(address);
    if (!target) {
        SetOpenError(error, *Rfc2217AddressProblem(address));
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
    net::SetNoDelay(fd);
    auto device = std::make_unique<Rfc2217Device>(fd);
    if (!device->Negotiate(deadline_ns, why) || !device->Settle(deadline_ns, why)) {
        SetOpenError(error, "cannot open the serial port at " + where + ": " + why);
        return nullptr;
    }
    return device;
}

}  // namespace vantor::platform
