#include <cstdint>
#include <deque>

#include "platform/serial/posix_serial_device.h"

namespace vantor::platform {

namespace {

constexpr std::uint8_t kMarkByte = 0xFF;

}  // namespace

int ParmrkDecoder::Feed(const std::uint8_t* bytes, std::size_t count,
                        std::deque<std::uint8_t>& data) {
    int breaks = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
            case State::Plain:
                if (byte == kMarkByte) {
                    state_ = State::SawMark;
                } else {
                    data.push_back(byte);
                }
                break;
            case State::SawMark:
                if (byte == 0x00) {
                    state_ = State::SawMarkZero;
                } else {
                    // FF FF is a data 0xFF; any other follower cannot come from the terminal
                    // layer, and both bytes are passed on rather than lost.
                    data.push_back(kMarkByte);
                    if (byte != kMarkByte) {
                        data.push_back(byte);
                    }
                    state_ = State::Plain;
                }
                break;
            case State::SawMarkZero:
                if (byte == 0x00) {
                    ++breaks;
                } else {
                    data.push_back(byte);
                }
                state_ = State::Plain;
                break;
        }
    }
    return breaks;
}

}  // namespace vantor::platform
