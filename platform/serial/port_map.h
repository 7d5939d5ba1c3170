// The port map: which device address each of the names COM1 to COM4 stands for.
#pragma once

#include <optional>
#include <string>

namespace vantor::platform {

// The device address for "COM1" to "COM4", or nothing for any other name (COM0 included).
// An address set for this process (SetPortMapOverride) wins; then the stored map; then the
// defaults /dev/ttyS0 to /dev/ttyS3. On Windows every name from COM1 to COM255 that is not
// mapped opens that comm port itself (native_serial_device.h). A stored map that cannot be
// read never gives way to the defaults, which could be another device: then nothing, and
// `problem` says why.
std::optional<std::string> ResolvePortName(const std::string& name, std::string* problem = nullptr);

// Makes COM<number> (1 to 4) stand for `address` in this process only; an empty address
// removes the override. Front ends use it to run the job on a device named on their command
// line.
void SetPortMapOverride(int number, const std::string& address);

// Source of the stored map: returns the stored address for COM<number>, or nothing (with the
// reason in `problem` when the map cannot be read). By default
// it is the settings store's "SOFTWARE\Halvren\Vantor\Ports" key (registry.h); a test may
// install another, and nullptr leaves only the overrides and the defaults.
using StoredPortLookup = std::optional<std::string> (*)(int number, std::string* problem);
void SetStoredPortLookup(StoredPortLookup lookup);

}  // namespace vantor::platform
