#include "platform/serial/native_serial_device.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/rfc2217_device.h"

namespace vantor::platform {

bool IsNativeDeviceAddress(const std::string& address) {
    return address.compare(0, 1, "/") == 0;
}

OpenedDevice OpenNativeSerialDevice(const std::string& address) {
    return OpenPosixSerialDevice(address);
}

bool NetworkSerialPortsAvailable() {
    return true;
}

std::optional<std::string> UnmappedPortAddress(int number) {
    if (number < 1 || number > 4) {
        return std::nullopt;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace vantor::platform
