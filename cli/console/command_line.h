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

// For a command or option that is not known: `; did you mean "--files-list"?` naming the known
// one closest to `given` when it is near enough to be a slip of the fingers (a letter or two
// wrong, missing, extra or swapped); empty otherwise.
std::string DidYouMean(std::string_view given, const std::vector<std::string_view>& known);

// `unknown option "--fies-list"; did you mean "--files-list"?`, the guess taken from the
// command's table.
std::string UnknownOption(const std::string& given, platform::OptionTable table);

// "vantor-cli (Vantor 2.0.7)".
void PrintVersion();

using platform::ParseWhole;

}  // namespace vantor::cli
