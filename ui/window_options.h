// The window's options, which the tests hold to its help, the shell completions and the manual
// page. The window takes its switches as the design reads them (command_line.h): every switch,
// known or not, and its value in the parameter that follows; Qt takes -style and -platform.
#pragma once

#include "platform/program_options.h"

namespace vantor::ui {

inline constexpr platform::ProgramOption kWindowOptions[] = {
    {"-c", "COMn"},        {"-b", "SPEED"}, {"-m", "FD"}, {"-style", "NAME"},
    {"-platform", "NAME"}, {"--help"},      {"-h"},       {"--version"},
};

}  // namespace vantor::ui
