// The RFC 2217 backend's own half: data goes over a TCP connection as telnet binary data, the
// line settings, breaks and purges as serial port control commands, and the server's line state
// reports feed the break flag of the shared receive side (buffered_serial_device.h). Only
// AwaitInput waits on the socket: every other call takes what has arrived and goes on.
#include "platform/serial/rfc2217_device.h"
#include "platform/serial/rfc2217_client.h"

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
#include "platform/serial/rfc2217_connect.h"
#include "platform/serial/rfc2217_telnet.h"
#include "platform/serial/round_trip.h"

namespace vantor::platform {

using namespace telnet;

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

}  // namespace vantor::platform
