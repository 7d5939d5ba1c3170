// The port map: which device address each of the names COM1 to COM4 stands for.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "platform/result.h"

namespace vantor::platform {

// The port map of one run, a value: the front end builds it (the stored map, and the devices
// the operator named on its command line) and hands it to the job with its options; the link
// opens "COM" and a digit through the map it is given. The stored map is read as each name is
// resolved, so that a change made meanwhile (the window's Advanced dialog, `vantor-cli ports
// set`) is seen.
class PortMap {
  public:
    // The stored map alone.
    PortMap() = default;

    // Makes COM<number> (1 to 4) stand for `address` in this map, whatever the stored map says;
    // an empty address gives the name back to the stored map. Other numbers are ignored.
    void Set(int number, const std::string& address);

    // The device address for "COM1" to "COM4", or nothing for any other name (COM0 included).
    // An address set in this map wins; then the stored map; then the defaults /dev/ttyS0 to
    // /dev/ttyS3. On Windows every name from COM1 to COM255 that is not mapped opens that comm
    // port itself (native_serial_device.h). A stored map that cannot be read never gives way to
    // the defaults, which could be another device: then a failure that says why.
    Result<std::optional<std::string>> Resolve(const std::string& name) const;

  private:
    std::array<std::string, 4> named_;
};

// The name resolved through the stored map alone (PortMap().Resolve).
Result<std::optional<std::string>> ResolvePortName(const std::string& name);

// Source of the stored map: returns the stored address for COM<number>, nothing when it has
// none, or a failure that says why the map cannot be read. By default it is the settings store's
// "SOFTWARE\Halvren\Vantor\Ports" key (registry.h); a test may install another, and nullptr
// leaves only the names set in each map and the defaults. Returns the source it replaces.
using StoredPortLookup = Result<std::optional<std::string>> (*)(int number);
StoredPortLookup SetStoredPortLookup(StoredPortLookup lookup);

}  // namespace vantor::platform
