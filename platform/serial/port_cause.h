// Why a port failed, in the words that every front end gives the operator beside the job's own
// status text: the port name, the device the port map gives it, and what the device said.
#pragma once

#include <string>

namespace vantor::platform {

// Why `port` (a port name "COM0" to "COM9", or a device address as given) did not open, given
// what the device said when it refused (`open_error`).
std::string UnopenablePortCause(const std::string& port, const std::string& open_error);

// The cause of a failed resynchronisation on a port that cannot carry breaks, after the job's
// status text `status`.
std::string NoBreaksCause(const std::string& status);

}  // namespace vantor::platform
