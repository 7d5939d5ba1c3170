#include "platform/serial/port_identity.h"

namespace vantor::platform {

namespace {

constexpr const char* kUsbSerialPrefix = "usb-serial:";
constexpr const char* kByIdPrefix = "by-id:";
constexpr const char* kByIdFolder = "/dev/serial/by-id/";
// The kernel's names of USB serial converters and of USB modems (CDC ACM), which is what a
// drive's USB adapter is when the system could not say more of it.
constexpr const char* kUsbDevicePrefixes[] = {"/dev/ttyUSB", "/dev/ttyACM"};

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

// "auto" takes an adapter only when it is the only one: with two plugged in, the wrong one may
// hold another bench's drive.
PortResolution ChooseTheOneAdapter(const std::vector<SerialDeviceEntry>& devices) {
    std::vector<const SerialDeviceEntry*> adapters;
    for (const SerialDeviceEntry& device : devices) {
        if (IsUsbAdapter(device)) {
            adapters.push_back(&device);
        }
    }
    if (adapters.size() == 1) {
        return {adapters.front()->path, ""};
    }
    if (adapters.empty()) {
        return {"", std::string(kAutoPort) +
                        ": no USB serial adapter is present (vantor-cli ports lists the serial "
                        "devices); plug one in, or name the port"};
    }
    std::string named;
    for (const SerialDeviceEntry* adapter : adapters) {
        named += (named.empty() ? "" : ", ") + AdapterDescription(*adapter);
    }
    return {"", std::string(kAutoPort) + ": " + std::to_string(adapters.size()) +
                    " USB serial adapters are present, " + named +
                    "; name one by its path or as usb-serial:SERIAL"};
}

}  // namespace

bool IsPortIdentity(const std::string& port) {
    return StartsWith(port, kUsbSerialPrefix) || StartsWith(port, kByIdPrefix) || port == kAutoPort;
}

bool IsUsbAdapter(const SerialDeviceEntry& device) {
    if (!device.usb_id.empty()) {
        return true;
    }
    for (const char* prefix : kUsbDevicePrefixes) {
        if (StartsWith(device.path, prefix)) {
            return true;
        }
    }
    return false;
}

std::string AdapterDescription(const SerialDeviceEntry& device) {
    const std::string product = !device.product.empty()  ? device.product
                                : !device.usb_id.empty() ? "USB " + device.usb_id
                                                         : "no product name";
    const std::string serial =
        device.serial.empty() ? "no serial number" : "serial " + device.serial;
    return device.path + " (" + product + ", " + serial + ")";
}

PortResolution ResolvePortIdentity(const std::string& port,
                                   const std::vector<SerialDeviceEntry>& devices) {
    if (!IsPortIdentity(port)) {
        return {port, ""};
    }
    if (port == kAutoPort) {
        return ChooseTheOneAdapter(devices);
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

}  // namespace vantor::platform
