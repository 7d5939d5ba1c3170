#include "platform/serial/port_cause.h"

#include <cctype>
#include <optional>

#include "platform/serial/port_map.h"

namespace vantor::platform {

namespace {

bool IsPortName(const std::string& port) {
    return port.size() == 4 && port.compare(0, 3, "COM") == 0 &&
           std::isdigit(static_cast<unsigned char>(port[3]));
}

}  // namespace

std::string UnopenablePortCause(const std::string& port, const std::string& open_error) {
    if (!IsPortName(port)) {
        return open_error;
    }
    const auto address = ResolvePortName(port);
    if (!address) {
        return port + " has no device: " + address.reason();
    }
    if (!*address) {
        return port + " is not a port name the port map knows (COM1 to COM4)";
    }
    const std::string& device = **address;
    const std::string prefix = device == port ? "" : port + " stands for " + device + ": ";
    return prefix + open_error;
}

std::string NoBreaksCause(const std::string& status) {
    return status +
           ", which the drive's boot loader needs; the drive was left in its command "
           "mode. Use a real serial device, vantor-port-server in front of one, or "
           "ser2net 4.6.4 or newer";
}

}  // namespace vantor::platform
