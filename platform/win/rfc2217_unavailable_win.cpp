// The network serial port client speaks through POSIX sockets; the Windows build has none.
#include "platform/serial/rfc2217_device.h"

namespace vantor::platform {

bool NetworkSerialPortsAvailable() {
    return false;
}

std::unique_ptr<SerialDevice> OpenRfc2217Device(const std::string& address, std::string* error) {
    if (error != nullptr) {
        *error = "\"" + address + "\": network serial ports (rfc2217://) are not available on " +
                 "this platform";
    }
    return nullptr;
}

}  // namespace vantor::platform
