// Opening a serial device by its address: the port map's names, the backends of this folder,
// and the schemes that other parts of the program add (the simulated drive's "sim:").
#pragma once

#include <memory>
#include <string>

#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"

namespace vantor::platform {

// Opens a device by its address:
//   "COM1" to "COM4"         through the port map `ports` (see port_map.h)
//   "sim" or "sim:OPTIONS"   the built-in simulated drive, once the program registered it
//                            (sim::RegisterSimulatedDeviceScheme)
//   "/dev/..."               a serial device through termios
//   "rfc2217://HOST:PORT"    a network serial port
// A device is open at most once in the process: a second open of the same address fails until
// the first is closed. Or says why it cannot be opened.
OpenedDevice OpenSerialDevice(const std::string& address, const PortMap& ports);
// The same with the stored port map alone.
OpenedDevice OpenSerialDevice(const std::string& address);

// Opens the device behind an address of a scheme that tests or tools add, or says why not.
// Registering an existing prefix replaces it; an empty opener removes it.
using DeviceOpener = OpenedDevice (*)(const std::string& address);
void RegisterDeviceScheme(const std::string& prefix, DeviceOpener opener);

// Lets a front end put a layer around every device the process opens from now on (a traffic
// log, for instance); nullptr removes it. The layer sees every call the port makes.
using DeviceWrapper = std::unique_ptr<SerialDevice> (*)(std::unique_ptr<SerialDevice> device);
void SetDeviceWrapper(DeviceWrapper wrapper);

}  // namespace vantor::platform
