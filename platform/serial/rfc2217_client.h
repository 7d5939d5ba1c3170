// The RFC 2217 client device, declared for the files that define it: rfc2217_device.cpp (the
// comm calls and the server's answers) and rfc2217_open.cpp (the open's negotiation and settling).
// Everyone else opens one through OpenRfc2217Device (rfc2217_device.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial/buffered_serial_device.h"
#include "platform/serial/net_socket.h"
#include "platform/serial/rfc2217_telnet.h"
#include "platform/serial/round_trip.h"

namespace vantor::platform {

class Rfc2217Device final : public BufferedSerialDevice,
                            private telnet::Listener,
                            private HeldOutput {
  public:
    explicit Rfc2217Device(int fd)
        : BufferedSerialDevice(fd),
          negotiator_(
              {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead, telnet::kOptionComPort},
              {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead, telnet::kOptionComPort}) {}
    ~Rfc2217Device() override { Close(); }
    Rfc2217Device(const Rfc2217Device&) = delete;
    Rfc2217Device& operator=(const Rfc2217Device&) = delete;

    Result<void> Negotiate(std::int64_t deadline_ns);
    // Purges both of the server's buffers and waits for its answers: what came before the
    // first (a banner, bytes from before the connection) is not the drive's and is dropped, and
    // the waits start the round trip estimate.
    Result<void> Settle(std::int64_t deadline_ns);

    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool Purge(std::uint32_t flags) override;
    // The server's answers to break on and off are not waited for: some servers acknowledge
    // the break's end wrongly, and the drive's answer is what counts.
    bool SetBreak() override {
        return SendCommand(telnet::kComSetControl, {telnet::kControlBreakOn});
    }
    bool ClearBreak() override {
        return SendCommand(telnet::kComSetControl, {telnet::kControlBreakOff});
    }
    bool Close() override;
    // The fence is a query of the line speed (SET-BAUDRATE with 0), which every server answers
    // with the speed as it is, in order with the line's data.
    std::uint64_t SendFence() override;
    bool FenceAnswered(std::uint64_t number) override {
        Pump();
        return fences_answered_ >= number;
    }
    // A socket is watched on the real clock only: a virtual one moves on without it.
    bool AwaitsInput() const override { return Usable() && ProcessClock().IsReal(); }
    void AwaitInput(int ms) override {
        if (!Usable()) {
            Sleep(ms);
        } else if (net::AwaitData(fd(), ms)) {
            last_look_ns_ = NowNs();  // the wait watched the connection all along
        }
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
    // A server that takes no bytes for this long is taken as gone.
    static constexpr std::int64_t kSendBudgetMs = 2000;
    // How long the open waits for the server to answer the purges that end it; the answers also
    // give the first round trips.
    static constexpr std::int64_t kSettleBudgetMs = 1000;
    // The purges at open: the first drops what came before the port was the drive's, the fastest
    // of all of them starts the round trip estimate (a packet lost at open slows only one).
    static constexpr int kOpenExchanges = 3;
    // An answer read this long after the previous look at the connection may have waited unread;
    // its round trip is not taken as a sample.
    static constexpr std::int64_t kSampleLookGapNs = 2'000'000;
    // Answers awaited at most (of purges, and of line speed queries); a server that stops answering
    // purges is not waited for longer than twice the longest answer delay.
    static constexpr std::size_t kMaxAnswersAwaited = 64;
    // Bytes written one at a time are held back and sent together once they take this long on
    // the line, or before the writer waits: a segment every 10 ms of line time instead of one a
    // byte.
    static constexpr std::int64_t kHeldLineTimeNs = 10'000'000;
    // A long paced write looks at the connection this often, so that a lost one is noticed.
    static constexpr std::int64_t kPaceSliceNs = 50'000'000;
    // What is shown of a server's own text.
    static constexpr std::size_t kServerTextChars = 160;

    bool ComPortAgreed() const;
    // One step of the open's waits for the server's answers: at most a millisecond, ended as
    // bytes arrive. Such a wait counts as a look at the connection, so that an answer it brings
    // is a round trip sample even where the system's sleeps are far coarser than
    // kSampleLookGapNs (Windows' timer steps).
    void AwaitAnswer() { AwaitInput(1); }
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

    // What comes before an awaited receive purge is dropped, but its first bytes are kept for
    // the operator: a server that cannot open its device says so and closes, and its words may
    // arrive only after the open's first purge went out.
    void OnData(std::uint8_t byte) override {
        if (!BeforeReceivePurge()) {
            QueueByte(byte);
        } else if (dropped_text_.size() < kServerTextChars) {
            dropped_text_.push_back(byte);
        }
    }
    // The negotiator bounds what a connection can draw from it; the check keeps the buffer
    // bounded whatever a future negotiator does.
    void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
        if (replies_.size() < telnet::Negotiator::kMaxReplyBytes) {
            negotiator_.Receive(verb, option, replies_);
        }
    }
    void OnSubnegotiation(const std::vector<std::uint8_t>& body) override;

    telnet::Parser parser_;
    telnet::Negotiator negotiator_;
    std::vector<std::uint8_t> replies_;
    std::vector<std::uint8_t> dropped_text_;  // the first bytes dropped before a purge
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

}  // namespace vantor::platform
