// The built-in simulated drive, opened as a serial device by the address "sim:OPTIONS".
#pragma once

#include <memory>
#include <string>

#include "platform/serial_device.h"

namespace vantor::sim {

// Opens a new simulated line with its drive(s), configured by the comma-separated `options`
// (the text after "sim:"). Returns nullptr and says why in `error` for an option it does not
// know or a value it cannot use.
std::unique_ptr<platform::SerialDevice> OpenSimulatedDevice(const std::string& options,
                                                            std::string* error);

}  // namespace vantor::sim
