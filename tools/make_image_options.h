// vantor-make-image's options: the table its parser reads, and its help, which the tests hold to
// the table, the shell completions and the manual page.
#pragma once

#include <string>

#include "image/image_writer.h"
#include "platform/option_rows.h"
#include "platform/program_options.h"

namespace vantor::make_image {

// What the command line asks for.
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

// One option and where it goes: a switch turns `flag` on, a file name goes to `text`, a number
// from `low` to `high` to `number`. --help, -h and --version are answered before the arguments
// are read.
struct OptionRow {
    platform::ProgramOption option;
    bool Options::*flag = nullptr;
    std::string Options::*text = nullptr;
    long Options::*number = nullptr;
    long low = 0;
    long high = 0;
};

inline constexpr OptionRow kOptionRows[] = {
    {{"-o", "FILE"}, nullptr, &Options::output},
    {{"--revision", "N"}, nullptr, nullptr, &Options::revision, 0, 15},
    {{"--plain"}, &Options::plain},
    {{"--packets", "N"}, nullptr, nullptr, &Options::packets, 0, 0xFFFF},
    {{"--packet-size", "BYTES"},
     nullptr,
     nullptr,
     &Options::packet_bytes,
     static_cast<long>(image_writer::kCommandHeaderBytes),
     kMaxPacketLength},
    {{"--address", "ADDR"}, nullptr, nullptr, &Options::address, 0, 0x7FFFFFFF},
    {{"--seed", "N"}, nullptr, nullptr, &Options::seed, 0, 0x7FFFFFFF},
    {{"--erase"}, &Options::erase},
    {{"--help"}},
    {{"-h"}},
    {{"--version"}},
};

inline constexpr auto kOptions = platform::OptionsOfRows(kOptionRows);

inline constexpr const char* kUsage =
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

}  // namespace vantor::make_image
