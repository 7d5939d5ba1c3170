// vantor-make-image's options: the table its parser reads, and its help, which the tests hold to
// the table, the shell completions and the manual page.
#pragma once

#include "platform/program_options.h"

namespace vantor::make_image {

inline constexpr platform::ProgramOption kOptions[] = {
    {"-o", "FILE"},
    {"--revision", "N"},
    {"--plain"},
    {"--packets", "N"},
    {"--packet-size", "BYTES"},
    {"--address", "ADDR"},
    {"--seed", "N"},
    {"--erase"},
    {"--help"},
    {"-h"},
    {"--version"},
};

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
