// vantor-cli ports: what COM1 to COM4 stand for now, and the serial devices present; one command
// for every system, which supplies only its devices and its device addresses (serial_devices.h).
#pragma once

#include <string>
#include <vector>

namespace vantor::cli {

int RunPorts(const std::vector<std::string>& arguments);

}  // namespace vantor::cli
