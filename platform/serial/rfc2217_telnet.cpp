#include "platform/serial/rfc2217_telnet.h"

namespace vantor::platform::telnet {

void AppendData(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& out) {
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) {
            out.push_back(kIac);
        }
    }
}

void AppendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {kIac, verb, option});
}

void AppendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value,
                          std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {kIac, kSb, kOptionComPort, command});
    AppendData(value.data(), value.size(), out);
    out.insert(out.end(), {kIac, kSe});
}

std::vector<std::uint8_t> BigEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

void Parser::Feed(const std::uint8_t* bytes, std::size_t count, Listener& listener) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
            case State::Data:
                if (byte == kIac) {
                    state_ = State::Command;
                } else {
                    listener.OnData(byte);
                }
                break;
            case State::Command:
                state_ = State::Data;
                if (byte == kIac) {
                    listener.OnData(kIac);
                } else if (byte >= kWill && byte <= kDont) {
                    verb_ = byte;
                    state_ = State::Verb;
                } else if (byte == kSb) {
                    body_.clear();
                    body_overflowed_ = false;
                    state_ = State::Sub;
                }
                // Other commands (NOP, go-ahead, interrupt and the like) mean nothing on a
                // serial line and are dropped.
                break;
            case State::Verb:
                listener.OnNegotiation(verb_, byte);
                state_ = State::Data;
                break;
            case State::Sub:
            case State::SubCommand:
                TakeSubnegotiationByte(byte, listener);
                break;
        }
    }
}

void Parser::TakeSubnegotiationByte(std::uint8_t byte, Listener& listener) {
    if (state_ == State::Sub) {
        if (byte == kIac) {
            state_ = State::SubCommand;
        } else if (body_.size() < kMaxSubnegotiationBytes) {
            body_.push_back(byte);
        } else {
            body_overflowed_ = true;
        }
        return;
    }
    if (byte == kSe) {
        // An overlong subnegotiation is not one this end knows; it is dropped whole.
        if (!body_overflowed_ && !body_.empty()) {
            listener.OnSubnegotiation(body_);
        }
        state_ = State::Data;
        return;
    }
    // IAC IAC is a 0xFF of the value; anything else after IAC is a broken peer's mistake and
    // is taken as part of the value rather than losing the stream's framing.
    if (body_.size() < kMaxSubnegotiationBytes) {
        body_.push_back(byte);
    }
    state_ = State::Sub;
}

Negotiator::Negotiator(std::initializer_list<std::uint8_t> local,
                       std::initializer_list<std::uint8_t> remote) {
    local_.fill(State::No);
    remote_.fill(State::No);
    for (const std::uint8_t option : local) {
        local_supported_[option] = true;
    }
    for (const std::uint8_t option : remote) {
        remote_supported_[option] = true;
    }
}

void Negotiator::Request(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    const bool local = verb == kWill;
    std::array<State, 256>& states = local ? local_ : remote_;
    const bool supported = local ? local_supported_[option] : remote_supported_[option];
    if (supported && states[option] == State::No) {
        states[option] = State::WantYes;
        AppendNegotiation(local ? kWill : kDo, option, out);
    }
}

void Negotiator::Receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    switch (verb) {
        case kWill:
            ReceiveWill(option, out);
            break;
        case kWont:
            ReceiveWont(option, out);
            break;
        case kDo:
            ReceiveDo(option, out);
            break;
        case kDont:
            ReceiveDont(option, out);
            break;
        default:
            break;
    }
}

bool Negotiator::MayChange(std::array<std::uint8_t, 256>& changes, std::uint8_t option) {
    if (changes[option] >= kChangesPerOption) {
        return false;
    }
    ++changes[option];
    return true;
}

void Negotiator::ReceiveWill(std::uint8_t option, std::vector<std::uint8_t>& out) {
    if (!remote_supported_[option]) {
        if (!refused_will_[option]) {
            refused_will_[option] = true;
            AppendNegotiation(kDont, option, out);
        }
        return;
    }
    if (remote_[option] == State::Yes) {
        return;
    }
    if (remote_[option] == State::No) {
        // A peer that keeps switching the option on and off is no longer listened to.
        if (!MayChange(remote_changes_, option)) {
            return;
        }
        AppendNegotiation(kDo, option, out);
    }
    remote_[option] = State::Yes;
}

// A peer's WONT and DONT are always obeyed (the option goes off); only the acknowledgement
// stops once the option has used up its changes.
void Negotiator::ReceiveWont(std::uint8_t option, std::vector<std::uint8_t>& out) {
    if (remote_[option] == State::Yes && MayChange(remote_changes_, option)) {
        AppendNegotiation(kDont, option, out);
    }
    remote_[option] = State::No;
}

void Negotiator::ReceiveDo(std::uint8_t option, std::vector<std::uint8_t>& out) {
    if (!local_supported_[option]) {
        if (!refused_do_[option]) {
            refused_do_[option] = true;
            AppendNegotiation(kWont, option, out);
        }
        return;
    }
    if (local_[option] == State::Yes) {
        return;
    }
    if (local_[option] == State::No) {
        if (!MayChange(local_changes_, option)) {
            return;
        }
        AppendNegotiation(kWill, option, out);
    }
    local_[option] = State::Yes;
}

void Negotiator::ReceiveDont(std::uint8_t option, std::vector<std::uint8_t>& out) {
    if (local_[option] == State::Yes && MayChange(local_changes_, option)) {
        AppendNegotiation(kWont, option, out);
    }
    local_[option] = State::No;
}

}  // namespace vantor::platform::telnet
