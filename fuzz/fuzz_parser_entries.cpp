// The fuzz targets for what arrives over the network or from hand-edited text: the telnet
// stream with the option negotiation, the PARMRK decoding of a serial line, the settings store's
// text and the simulated drive's options. Each checks that the same bytes give the same result
// however they are split into reads, and what else its reader promises.
#include <deque>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_entries.h"
#include "platform/registry.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/rfc2217_telnet.h"
#include "sim/sim_options.h"
#include "sim/sim_world.h"

namespace vantor::fuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Where an input is cut into reads: whole, at one point taken from its first two bytes, and one
// byte at a time.
enum class Cut { Whole, AtOnePoint, ByteByByte };
constexpr Cut kCuts[] = {Cut::Whole, Cut::AtOnePoint, Cut::ByteByByte};

template <typename Feed>
void FeedInReads(const std::uint8_t* data, std::size_t size, Cut cut, Feed feed) {
    if (cut == Cut::Whole || size == 0) {
        feed(data, size);
        return;
    }
    if (cut == Cut::AtOnePoint) {
        const std::size_t point = size < 2 ? 0 : ((data[0] << 8) | data[1]) % (size + 1);
        feed(data, point);
        feed(data + point, size - point);
        return;
    }
    for (std::size_t i = 0; i < size; ++i) {
        feed(data + i, 1);
    }
}

// Everything one end makes of a telnet stream: its data, commands and the answers of an end
// that supports what the RFC 2217 device and the simulator's server support.
struct TelnetEnd final : platform::telnet::Listener {
    platform::telnet::Negotiator negotiator{
        {platform::telnet::kOptionBinary, platform::telnet::kOptionSuppressGoAhead,
         platform::telnet::kOptionComPort},
        {platform::telnet::kOptionBinary, platform::telnet::kOptionSuppressGoAhead,
         platform::telnet::kOptionComPort}};
    Bytes data;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> negotiations;
    std::vector<Bytes> subnegotiations;
    Bytes replies;

    void OnData(std::uint8_t byte) override { data.push_back(byte); }
    void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
        negotiations.emplace_back(verb, option);
        negotiator.Receive(verb, option, replies);
    }
    void OnSubnegotiation(const Bytes& body) override { subnegotiations.push_back(body); }
    auto Seen() const { return std::tie(data, negotiations, subnegotiations, replies); }
};

}  // namespace

std::string CheckTelnetInput(const std::uint8_t* data, std::size_t size) {
    TelnetEnd whole;
    platform::telnet::Parser whole_parser;
    FeedInReads(data, size, Cut::Whole, [&](const std::uint8_t* bytes, std::size_t count) {
        whole_parser.Feed(bytes, count, whole);
    });
    if (whole.replies.size() > platform::telnet::Negotiator::kMaxReplyBytes) {
        return "the answers to one stream exceed their bound";
    }
    if (whole.data.size() > size) {
        return "more data came out than went in";
    }
    for (const Cut cut : {Cut::AtOnePoint, Cut::ByteByByte}) {
        TelnetEnd split;
        platform::telnet::Parser parser;
        FeedInReads(data, size, cut, [&](const std::uint8_t* bytes, std::size_t count) {
            parser.Feed(bytes, count, split);
        });
        if (split.Seen() != whole.Seen()) {
            return "the same stream split into reads gives other data, commands or answers";
        }
    }
    return {};
}

std::string CheckParmrkInput(const std::uint8_t* data, std::size_t size) {
    std::deque<std::uint8_t> whole_data;
    platform::ParmrkDecoder whole_decoder;
    const int whole_breaks = whole_decoder.Feed(data, size, whole_data);
    if (whole_data.size() > size) {
        return "more data came out than went in";
    }
    for (const Cut cut : kCuts) {
        std::deque<std::uint8_t> split_data;
        platform::ParmrkDecoder decoder;
        int breaks = 0;
        FeedInReads(data, size, cut, [&](const std::uint8_t* bytes, std::size_t count) {
            breaks += decoder.Feed(bytes, count, split_data);
        });
        if (split_data != whole_data || breaks != whole_breaks) {
            return "the same bytes split into reads give other data or breaks";
        }
    }
    return {};
}

std::string CheckRegistryInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto keys = platform::ParseRegistry(text);
    if (!keys) {
        if (keys.reason().rfind("line ", 0) != 0) {
            return "a refused store does not name its line: " + keys.reason();
        }
        return {};
    }
    const std::string written = platform::FormatRegistry(*keys);
    const auto read_back = platform::ParseRegistry(written);
    if (!read_back || *read_back != *keys) {
        return "what the store writes does not read back as the same keys and values";
    }
    if (platform::FormatRegistry(*read_back) != written) {
        return "writing the store twice gives two texts";
    }
    return {};
}

std::string CheckSimOptionsInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto options = sim::ParseSimOptions(text);
    if (!options) {
        return options.reason().empty() ? "a refused option text gives no reason" : std::string();
    }
    // Whatever the options, a world made from them runs a quiet second of its time and ends.
    sim::SimWorld world(*options);
    world.AdvanceTo(0);
    world.AdvanceTo(1'000'000'000);
    return {};
}

}  // namespace vantor::fuzz
