// `vantor-cli ports set COMn DEVICE` and `ports unset COMn`: the port map in the settings store,
// the same on every system. Which device addresses may be stored is the system's own
// (serial_devices.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vantor::cli {

// Runs "set" or "unset" with the operands after the subcommand's name; returns the exit status
// (0, 1 when the settings store could not be written, 64 for a usage error).
int RunPortMapChange(const std::string& subcommand, const std::vector<std::string>& operands);

// Why `device` is not an address the job can open on this system; success when it is one.
Result<void> CheckPortDevice(const std::string& device);

}  // namespace vantor::cli
