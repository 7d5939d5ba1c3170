// Ports named by what the adapter is rather than where the kernel put it: "usb-serial:SERIAL"
// (the USB serial number the adapter reports) and "by-id:NAME" (a name under
// /dev/serial/by-id/), so that a fixture's wiring survives re-plugging and renumbering. Both
// are looked up in the device list that `vantor-cli ports` shows.
#pragma once

#include <string>
#include <vector>

#include "cli/ports/serial_devices.h"

namespace vantor::cli {

// True for "usb-serial:..." and "by-id:...".
bool IsPortIdentity(const std::string& port);

struct PortResolution {
    std::string device;  // the device path to open; empty when not resolved
    std::string error;   // why not: nothing matches, or more than one device does
};

// Finds the one device in `devices` that `port` names. A port that is not an identity is
// returned as it is.
PortResolution ResolvePortIdentity(const std::string& port,
                                   const std::vector<SerialDeviceEntry>& devices);

}  // namespace vantor::cli
