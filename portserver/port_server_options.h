// vantor-port-server's options: the table its parser and its help read, which the tests hold to
// the shell completions and the manual page.
#pragma once

#include "platform/program_options.h"

namespace vantor::portserver {

inline constexpr platform::ProgramOption kOptions[] = {
    {"--device", "DEVICE", "the serial device to serve, such as /dev/ttyUSB0"},
    {"--port", "PORT", "TCP port to listen on (0: any free port)"},
    {"--host", "ADDRESS",
     "address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every\n"
     "network)"},
    {"--allow", "ADDRESS/PREFIX", "only peers in this network may connect (may be given again)"},
    {"--help"},
    {"-h"},
    {"--version"},
};

}  // namespace vantor::portserver
