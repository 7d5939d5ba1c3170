// The network serial port client speaks through POSIX sockets; the Windows build has none.
#include "platform/serial/rfc2217_device.h"

namespace vantor::platform {

bool NetworkSerialPortsAvailable() {
    return false;
}

// Every address of the scheme is refused when it is opened, for want of the client.
std::optional<std::string> Rfc2217AddressProblem(const std::string& /*address*/) {
    return std::nullopt;
}

std::unique_ptr<SerialDevice> OpenRfc2217Device(const std::string& address, std::string* error) {
    if (error != nullptr) {
        *error = "\"" + address + "\": network serial ports (rfc2217://) are not available on " +
                 "this platform";
    }
    return nullptr;
}

}  // namespace vantor::platform
