#include "sim_host.h"

#include <algorithm>
#include <utility>

namespace vantor::sim::testing {

SimHost::SimHost(const std::string& options, std::uint32_t baud)
    : bench(options), line(bench.world) {
    platform::LineSettings settings;
    line.GetSettings(settings);
    settings.BaudRate = baud;
    line.SetSettings(settings);
}

SimHost::SimHost(SimOptions options) : bench(std::move(options)), line(bench.world) {}

void SimHost::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t written = 0;
    line.Write(bytes.data(), bytes.size(), written);
}

void SimHost::Send(const std::string& text) {
    Send(test::BytesOf(text));
}

void SimHost::SendBreak(double ms) {
    line.SetBreak();
    WaitMs(ms);
    line.ClearBreak();
}

std::uint32_t SimHost::Errors(std::uint32_t* waiting) {
    std::uint32_t errors = 0;
    std::uint32_t bytes_waiting = 0;
    line.ClearError(errors, bytes_waiting);
    if (waiting != nullptr) {
        *waiting = bytes_waiting;
    }
    return errors;
}

std::uint32_t SimHost::Waiting() {
    std::uint32_t waiting = 0;
    Errors(&waiting);
    return waiting;
}

std::vector<std::uint8_t> SimHost::ReadAll() {
    std::vector<std::uint8_t> bytes(65536);
    std::size_t got = 0;
    line.Read(bytes.data(), bytes.size(), got);
    bytes.resize(got);
    return bytes;
}

std::vector<std::uint8_t> SimHost::AnswerAfterMs(double ms) {
    WaitMs(ms);
    return ReadAll();
}

std::vector<LineEvent> SimHost::Events(LineEvent::Kind kind) {
    std::vector<LineEvent> events = world().Traffic();
    std::erase_if(events, [kind](const LineEvent& event) { return event.kind != kind; });
    return events;
}

std::vector<std::uint8_t> Words(std::initializer_list<std::uint16_t> words) {
    std::vector<std::uint8_t> bytes;
    for (std::uint16_t word : words) {
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    return bytes;
}

std::vector<std::uint8_t> Packet(const std::vector<std::uint8_t>& payload) {
    const auto length = static_cast<std::uint16_t>(payload.size());
    std::uint16_t sum = static_cast<std::uint16_t>((length >> 8) + (length & 0xFF));
    for (std::uint8_t byte : payload) {
        sum = static_cast<std::uint16_t>(sum + byte);
    }
    std::vector<std::uint8_t> packet = Words({0xA55A, length});
    packet.insert(packet.end(), payload.begin(), payload.end());
    return Concat(packet, Words({sum}));
}

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace vantor::sim::testing
