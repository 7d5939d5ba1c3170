// vantor-make-image: writes an Orrim image of filler command packets, for demos and for
// trying the downloader against the simulated drive.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "image/image_writer.h"
#include "make_image_options.h"

namespace {

namespace iw = vantor::image_writer;
namespace platform = vantor::platform;
using vantor::make_image::kOptionRows;
using vantor::make_image::kUsage;
using vantor::make_image::OptionRow;
using vantor::make_image::Options;

constexpr int kExitUsage = 64;

// The row of the option `name`; null when the table has no such option.
const OptionRow* FindRow(const std::string& name) {
    for (const OptionRow& row : kOptionRows) {
        if (row.option.name == name) {
            return &row;
        }
    }
    return nullptr;
}

// Takes the value of an option of the table (nothing when it is missing); says what is wrong
// and fails otherwise.
bool TakeValue(const OptionRow& row, const std::optional<std::string>& value, Options& options) {
    if (row.text != nullptr) {
        if (!value) {
            std::fprintf(stderr, "vantor-make-image: %s needs a file name\n",
                         std::string(row.option.name).c_str());
            return false;
        }
        options.*row.text = *value;
    } else if (row.number != nullptr) {
        const auto parsed = value ? platform::ParseNumber(*value, row.low, row.high) : std::nullopt;
        if (!parsed) {
            std::fprintf(stderr, "vantor-make-image: %s needs a number from %ld to %ld\n",
                         std::string(row.option.name).c_str(), row.low, row.high);
            return false;
        }
        options.*row.number = *parsed;
    } else if (row.flag != nullptr) {
        options.*row.flag = true;
    }
    return true;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    platform::ArgumentReader reader(platform::ArgumentsOf(argc, argv),
                                    platform::ArgumentStyle::kSeparateValues);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        const OptionRow* row = reader.IsOption(argument) ? FindRow(argument) : nullptr;
        if (row == nullptr) {
            std::fprintf(stderr, "vantor-make-image: unknown argument %s\n%s", argument.c_str(),
                         kUsage);
            return false;
        }
        // A missing value is said per option.
        const std::optional<std::string> value =
            platform::ReadOptionValue(reader, row->option, argument).ValueOr(std::nullopt);
        if (!TakeValue(*row, value, options)) {
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
