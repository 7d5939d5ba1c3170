// vantor-drive-sim's options: the table its parser reads, which the tests hold to its help, the
// shell completions and the manual page. Its other argument is the simulated drive's options.
#pragma once

#include "platform/program_options.h"

namespace vantor::drivesim {

inline constexpr platform::ProgramOption kOptions[] = {
    {"--port", "PORT"}, {"--host", "ADDRESS"}, {"--help"}, {"-h"}, {"--version"},
};

}  // namespace vantor::drivesim
