// vantor-make-image: writes an Orrim image of filler command packets, for demos and for
// trying the downloader against the simulated drive.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/image_writer.h"

namespace {

namespace iw = vantor::image_writer;

constexpr const char* kUsage =
    "usage: vantor-make-image -o FILE [--revision N | --plain] [--packets N]\n"
    "                         [--packet-size BYTES] [--address ADDR] [--seed N] [--erase]\n"
    "\n"
    "  -o FILE             the image file to write\n"
    "  --revision N        a KDX file for hardware revision N (default 2)\n"
    "  --plain             a plain Orrim file, for hardware revision 0\n"
    "  --packets N         number of packets (default 8)\n"
    "  --packet-size BYTES payload bytes of each packet, 6 to 16398 (default 240)\n"
    "  --address ADDR      address of the first write (default 0x10000)\n"
    "  --seed N            draws the filler data (default 1)\n"
    "  --erase             the first packet erases the range the others write\n"
    "  --help, -h, --version\n"
    "\n"
    "exit status: 0 written, 1 the file cannot be written, 64 usage error\n";

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

bool ParseNumber(const char* text, long low, long high, long& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// Reads the value of the switch at argv[index]; says what is wrong and fails otherwise.
bool NumberArgument(int argc, char** argv, int& index, long low, long high, long& value) {
    const char* name = argv[index];
    if (index + 1 >= argc || !ParseNumber(argv[index + 1], low, high, value)) {
        std::fprintf(stderr, "vantor-make-image: %s needs a number from %ld to %ld\n", name, low,
                     high);
        return false;
    }
    ++index;
    return true;
}

bool ParseNumberSwitch(int argc, char** argv, int& index, Options& options, bool& known) {
    const std::string name = argv[index];
    known = true;
    if (name == "--revision") {
        return NumberArgument(argc, argv, index, 0, 15, options.revision);
    }
    if (name == "--packets") {
        return NumberArgument(argc, argv, index, 0, 0xFFFF, options.packets);
    }
    if (name == "--packet-size") {
        return NumberArgument(argc, argv, index, iw::kCommandHeaderBytes, vantor::kMaxPacketLength,
                              options.packet_bytes);
    }
    if (name == "--address") {
        return NumberArgument(argc, argv, index, 0, 0x7FFFFFFF, options.address);
    }
    if (name == "--seed") {
        return NumberArgument(argc, argv, index, 0, 0x7FFFFFFF, options.seed);
    }
    known = false;
    return false;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    for (int index = 1; index < argc; ++index) {
        const std::string name = argv[index];
        bool known = false;
        if (ParseNumberSwitch(argc, argv, index, options, known)) {
            continue;
        }
        if (known) {
            return false;
        }
        if (name == "-o" && index + 1 >= argc) {
            std::fprintf(stderr, "vantor-make-image: -o needs a file name\n");
            return false;
        }
        if (name == "-o") {
            options.output = argv[++index];
        } else if (name == "--plain") {
            options.plain = true;
        } else if (name == "--erase") {
            options.erase = true;
        } else {
            std::fprintf(stderr, "vantor-make-image: unknown argument %s\n%s", name.c_str(),
                         kUsage);
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
