// vantor-cli ports: what COM1 to COM4 stand for now, and the serial devices present; one command
// for every system, which supplies only its devices and its device addresses (serial_devices.h).
#pragma once

#include <string>
#include <vector>

#include "platform/program_options.h"

namespace vantor::cli {

// The options of ports, which the tests hold to its help, the completions and the manual page.
platform::OptionTable PortsOptions();

int RunPorts(const std::vector<std::string>& arguments);

}  // namespace vantor::cli
