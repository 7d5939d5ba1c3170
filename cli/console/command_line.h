// Reading a command's arguments (platform/program_options.h: options with their values, "--port
// sim" or "--port=sim", and plain parameters), and the usage errors that name the argument at
// fault.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/program_options.h"

namespace vantor::cli {

using platform::ArgumentReader;

// Prints "vantor-cli COMMAND: MESSAGE" and the hint to the command's help on stderr, and
// returns the usage exit status.
int UsageError(const std::string& command, const std::string& message);

using platform::DidYouMean;
using platform::UnknownOption;

// "vantor-cli (Vantor 2.0.7)".
void PrintVersion();

using platform::ParseWhole;

}  // namespace vantor::cli
