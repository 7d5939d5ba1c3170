// Ports named by what the adapter is rather than where the kernel put it: "usb-serial:SERIAL"
// (the USB serial number the adapter reports) and "by-id:NAME" (a name under
// /dev/serial/by-id/), so that a fixture's wiring survives re-plugging and renumbering; and
// "auto", the one USB serial adapter plugged in. All are looked up in the device list that
// `vantor-cli ports` shows.
#pragma once

#include <string>
#include <vector>

#include "platform/serial/serial_devices.h"

namespace vantor::platform {

// "auto": the one USB serial adapter present.
inline constexpr const char* kAutoPort = "auto";

// True for "usb-serial:...", "by-id:..." and "auto".
bool IsPortIdentity(const std::string& port);

// True for a USB serial adapter: one whose USB ids the system gave, or a USB serial or modem
// device by its kernel name where it gave none.
bool IsUsbAdapter(const SerialDeviceEntry& device);

// The device as the user tells adapters apart: "/dev/ttyUSB0 (FT232R USB UART, serial A10K3Q)".
std::string AdapterDescription(const SerialDeviceEntry& device);

struct PortResolution {
    std::string device;  // the device path to open; empty when not resolved
    std::string error;   // why not: nothing matches, or more than one device does
};

// Finds the one device in `devices` that `port` names; for "auto", the one USB adapter among
// them, refused when there is none or more than one, each named. A port that is not an
// identity is returned as it is.
PortResolution ResolvePortIdentity(const std::string& port,
                                   const std::vector<SerialDeviceEntry>& devices);

}  // namespace vantor::platform
