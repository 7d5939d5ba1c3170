// vantor-port-server's options: the table its parser reads, which the tests hold to its help,
// the shell completions and the manual page.
#pragma once

#include "platform/program_options.h"

namespace vantor::portserver {

inline constexpr platform::ProgramOption kOptions[] = {
    {"--device", "DEVICE"},
    {"--port", "PORT"},
    {"--host", "ADDRESS"},
    {"--allow", "ADDRESS/PREFIX"},
    {"--help"},
    {"-h"},
    {"--version"},
};

}  // namespace vantor::portserver
