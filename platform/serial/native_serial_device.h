// The serial ports of the system the program runs on: termios device paths ("/dev/ttyUSB0") on
// POSIX systems, comm ports ("\\.\COM7") on Windows. One source file per system implements it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/serial/serial_device.h"

namespace vantor::platform {

// Whether `address` names one of this system's own serial ports.
bool IsNativeDeviceAddress(const std::string& address);

// Opens the port at `address` exclusively, raw 8N1, or says why it cannot.
OpenedDevice OpenNativeSerialDevice(const std::string& address);

// The port that the name "COMn" opens when the port map does not map it: /dev/ttyS0 to
// /dev/ttyS3 for COM1 to COM4 on POSIX systems, the comm port \\.\COMn itself on Windows;
// nothing when the name opens no port on this system.
std::optional<std::string> UnmappedPortAddress(int number);

}  // namespace vantor::platform
