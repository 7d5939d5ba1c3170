#include "cli/ports/port_identity.h"

namespace vantor::cli {

namespace {

constexpr const char* kUsbSerialPrefix = "usb-serial:";
constexpr const char* kByIdPrefix = "by-id:";
constexpr const char* kByIdFolder = "/dev/serial/by-id/";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// "by-id:NAME" matches the link /dev/serial/by-id/NAME; the whole link path is accepted too.
bool HasByIdName(const SerialDeviceEntry& device, const std::string& name) {
    for (const std::string& link : device.by_id) {
        if (link == name || link == kByIdFolder + name) {
            return true;
        }
    }
    return false;
}

std::string Paths(const std::vector<const SerialDeviceEntry*>& matches) {
    std::string text;
    for (const SerialDeviceEntry* match : matches) {
        text += (text.empty() ? "" : ", ") + match->path;
    }
    return text;
}

}  // namespace

bool IsPortIdentity(const std::string& port) {
    return StartsWith(port, kUsbSerialPrefix) || StartsWith(port, kByIdPrefix);
}

PortResolution ResolvePortIdentity(const std::string& port,
                                   const std::vector<SerialDeviceEntry>& devices) {
    if (!IsPortIdentity(port)) {
        return {port, ""};
    }
    const bool by_serial = StartsWith(port, kUsbSerialPrefix);
    const std::string wanted = port.substr(by_serial ? std::string(kUsbSerialPrefix).size()
                                                     : std::string(kByIdPrefix).size());
    if (wanted.empty()) {
        return {"", port + ": the " + std::string(by_serial ? "serial number" : "name") +
                        " is missing"};
    }
    std::vector<const SerialDeviceEntry*> matches;
    for (const SerialDeviceEntry& device : devices) {
        if (by_serial ? device.serial == wanted : HasByIdName(device, wanted)) {
            matches.push_back(&device);
        }
    }
    if (matches.size() == 1) {
        return {matches.front()->path, ""};
    }
    if (matches.empty()) {
        return {"", port + ": no serial device " +
                        (by_serial ? "has the USB serial number \"" + wanted + "\""
                                   : "is named \"" + wanted + "\" under " + kByIdFolder) +
                        " (vantor-cli ports lists them)"};
    }
    // Two adapters with one serial number cannot be told apart: guessing could flash the
    // drive on the other station.
    return {"", port + ": " + std::to_string(matches.size()) + " serial devices match (" +
                    Paths(matches) + "); name the device by its path or its by-id name"};
}

}  // namespace vantor::cli
