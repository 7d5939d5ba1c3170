#include "platform/serial/buffered_serial_device.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/invariant.h"

namespace vantor::platform {

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

bool BufferedSerialDevice::SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t /*tx_bytes*/) {
    rx_queue_bytes_ = std::max<std::size_t>(rx_bytes, kMinRxQueueBytes);
    return Usable();
}

bool BufferedSerialDevice::Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) {
    got = 0;
    Pump();
    if (!Usable()) {
        return false;
    }
    got = std::min(max, rx_.size());
    std::copy_n(rx_.begin(), got, buffer);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(got));
    return true;
}

bool BufferedSerialDevice::ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) {
    errors = 0;
    bytes_waiting = 0;
    Pump();
    if (!Usable()) {
        return false;
    }
    errors = std::exchange(errors_, 0);
    bytes_waiting = static_cast<std::uint32_t>(rx_.size());
    return true;
}

int BufferedSerialDevice::ReleaseFd() {
    return std::exchange(fd_, -1);
}

void BufferedSerialDevice::NoteFailure(int error) {
    gone_ = gone_ || (error != 0 && IsGoneError(error));
}

void BufferedSerialDevice::ReceiveIntoQueue() {
    std::array<std::uint8_t, kReceiveChunkBytes> chunk{};
    InterruptRetries interrupts;
    for (int receives = 0; receives < kReceivesPerPump && Usable() && rx_.size() < rx_queue_bytes_;
         ++receives) {
        const std::size_t room = std::min(chunk.size(), rx_queue_bytes_ - rx_.size());
        const ssize_t got = ReceiveSome(chunk.data(), room);
        if (got > 0) {
            VANTOR_ASSERT(static_cast<std::size_t>(got) <= room);
            Decode(chunk.data(), static_cast<std::size_t>(got));
            // Less than asked for is all there was: asking again would only hear that nothing
            // more is there. What comes meanwhile is there for the next call, and wakes a wait.
            if (static_cast<std::size_t>(got) < room) {
                break;
            }
            continue;
        }
        if (interrupts.Again(got)) {
            continue;
        }
        if (got < 0) {
            NoteFailure(errno);
        }
        break;
    }
}

}  // namespace vantor::platform
