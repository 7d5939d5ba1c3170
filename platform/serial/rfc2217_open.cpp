// The RFC 2217 client's open: the connection, the agreement on serial port control, and the
// purges that settle the port and give the first round trips.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial/rfc2217_client.h"
#include "platform/serial/rfc2217_connect.h"
#include "platform/serial/rfc2217_device.h"

namespace vantor::platform {

using namespace telnet;

bool Rfc2217Device::ComPortAgreed() const {
    return negotiator_.Local(kOptionComPort) == Negotiator::State::Yes ||
           negotiator_.Remote(kOptionComPort) == Negotiator::State::Yes;
}

Result<void> Rfc2217Device::Negotiate(std::int64_t deadline_ns) {
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
            return Failure{ClosedText()};
        }
        if (negotiator_.Local(kOptionComPort) == Negotiator::State::No) {
            return Failure{"the server does not offer serial port control (RFC 2217)"};
        }
        if (NowNs() >= deadline_ns) {
            const std::string text = ServerText();
            return Failure{"no serial port control (RFC 2217) agreed within " +
                           std::to_string(kRfc2217OpenBudgetMs) + " ms" +
                           (text.empty() ? "" : "; the server sent \"" + text + "\"")};
        }
        AwaitAnswer();
    }
    // The drive's breaks reach this end only as line state reports, and only once asked for.
    std::vector<std::uint8_t> setup;
    AppendComPortCommand(kComSetLineStateMask, {kLineStateBreak}, setup);
    AppendComPortCommand(kComSetControl, {kControlNoFlowControl}, setup);
    if (!Send(setup)) {
        return Failure{ClosedText()};
    }
    return {};
}

Result<void> Rfc2217Device::Settle(std::int64_t deadline_ns) {
    const std::int64_t until_ns = std::min(deadline_ns, NowNs() + kSettleBudgetMs * 1'000'000);
    for (int exchange = 0; exchange < kOpenExchanges; ++exchange) {
        if (!SendPurge(kPurgeServerBoth)) {
            return Failure{ClosedText()};
        }
        while (!purges_awaited_.empty() && Usable() && NowNs() < until_ns) {
            AwaitAnswer();
            Pump();
        }
        if (!Usable()) {
            return Failure{ClosedText()};
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
    return {};
}

std::string Rfc2217Device::ServerText() {
    std::vector<std::uint8_t> said(ReceiveQueue().begin(), ReceiveQueue().end());
    if (said.empty()) {
        said = dropped_text_;
    }
    std::string text;
    bool blank = false;
    for (const std::uint8_t byte : said) {
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

OpenedDevice OpenRfc2217Device(const std::string& address) {
    const auto target = ParseRfc2217Address(address);
    if (!target) {
        return Failure{CheckRfc2217Address(address).reason()};
    }
    const std::string where = target->host + ":" + target->port;
    const std::int64_t deadline_ns = NowNs() + std::int64_t{kRfc2217OpenBudgetMs} * 1'000'000;
    const auto connected = ConnectRfc2217(*target, deadline_ns);
    if (!connected) {
        return Failure{"cannot connect to " + where + ": " + connected.reason()};
    }
    const int fd = *connected;
    // Every byte of the protocol is a poll's worth of time; none may wait for company.
    net::SetNoDelay(fd);
    auto device = std::make_unique<Rfc2217Device>(fd);
    auto opened = device->Negotiate(deadline_ns);
    if (opened) {
        opened = device->Settle(deadline_ns);
    }
    if (!opened) {
        return Failure{"cannot open the serial port at " + where + ": " + opened.reason()};
    }
    return device;
}

}  // namespace vantor::platform
