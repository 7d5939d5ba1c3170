// vantor-make-image: writes an Orrim image of filler command packets, for demos and for
// trying the downloader against the simulated drive.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "image/image_writer.h"
#include "make_image_options.h"

namespace {

namespace iw = vantor::image_writer;
namespace platform = vantor::platform;
using vantor::make_image::kOptions;
using vantor::make_image::kUsage;

constexpr int kExitUsage = 64;

struct Options {
    std::string output;
    bool plain = false;
    long revision = 2;
    long packets = 8;
    long packet_bytes = 240;
    long address = 0x10000;
    long seed = 1;
    bool erase = false;
};

// The range of each option that takes a number, and where its value goes.
struct NumberOption {
    std::string_view name;
    long low;
    long high;
    long Options::*value;
};
constexpr NumberOption kNumberOptions[] = {
    {"--revision", 0, 15, &Options::revision},
    {"--packets", 0, 0xFFFF, &Options::packets},
    {"--packet-size", static_cast<long>(iw::kCommandHeaderBytes), vantor::kMaxPacketLength,
     &Options::packet_bytes},
    {"--address", 0, 0x7FFFFFFF, &Options::address},
    {"--seed", 0, 0x7FFFFFFF, &Options::seed},
};

// Takes the value of an option of the table; says what is wrong and fails otherwise.
bool TakeValue(const std::string& name, const std::optional<std::string>& value, Options& options) {
    if (name == "-o") {
        if (!value) {
            std::fprintf(stderr, "vantor-make-image: -o needs a file name\n");
            return false;
        }
        options.output = *value;
        return true;
    }
    for (const NumberOption& number : kNumberOptions) {
        if (number.name != name) {
            continue;
        }
        const auto parsed =
            value ? platform::ParseNumber(*value, number.low, number.high) : std::nullopt;
        if (!parsed) {
            std::fprintf(stderr, "vantor-make-image: %s needs a number from %ld to %ld\n",
                         name.c_str(), number.low, number.high);
            return false;
        }
        options.*number.value = *parsed;
        return true;
    }
    // The switches; --help, -h and --version are answered before the arguments are read.
    (name == "--plain" ? options.plain : options.erase) = true;
    return true;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    while (!reader.Done()) {
        platform::Argument argument;
        // A missing value is said per option below.
        const bool value_missing = platform::ReadArgument(reader, kOptions, argument).has_value();
        if (argument.option == nullptr) {
            std::fprintf(stderr, "vantor-make-image: unknown argument %s\n%s",
                         argument.text.c_str(), kUsage);
            return false;
        }
        if (!TakeValue(argument.text, value_missing ? std::nullopt : argument.value, options)) {
            return false;
        }
    }
    if (options.output.empty()) {
        std::fprintf(stderr, "vantor-make-image: no output file (-o FILE)\n%s", kUsage);
        return false;
    }
    return true;
}

iw::Bytes BuildImage(const Options& options) {
    auto builder = options.plain ? iw::ImageBuilder::Plain()
                                 : iw::ImageBuilder::Kdx(static_cast<int>(options.revision));
    const auto address = static_cast<std::uint32_t>(options.address);
    long write_packets = options.packets;
    if (options.erase && write_packets > 0) {
        const long erase_bytes = (write_packets - 1) * (options.packet_bytes -
                                                        static_cast<long>(iw::kCommandHeaderBytes));
        builder.Packet(iw::ErasePayload(
            address, static_cast<std::uint16_t>(erase_bytes > 0xFFFF ? 0xFFFF : erase_bytes)));
        --write_packets;
    }
    builder.FillerPackets(static_cast<int>(write_packets),
                          static_cast<std::size_t>(options.packet_bytes), address,
                          static_cast<std::uint32_t>(options.seed));
    return builder.Build();
}

}  // namespace

int main(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--help") == 0 || std::strcmp(argv[index], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[index], "--version") == 0) {
            std::printf("vantor-make-image (Vantor %s)\n", VANTOR_VERSION);
            return 0;
        }
    }
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        return kExitUsage;
    }
    const iw::Bytes image = BuildImage(options);
    if (!iw::WriteFile(options.output, image)) {
        std::fprintf(stderr, "vantor-make-image: cannot write %s: %s\n", options.output.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s: %zu bytes, %ld packets\n", options.output.c_str(), image.size(),
                options.packets);
    return 0;
}
