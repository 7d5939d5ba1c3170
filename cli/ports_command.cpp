#include "cli/ports_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/serial_devices.h"
#include "platform/registry.h"
#include "platform/serial/port_map.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "ports";

constexpr const char* kHelp =
    "usage: vantor-cli ports [--json]\n"
    "\n"
    "Shows the device each of the port names COM1 to COM4 stands for (the port map in the\n"
    "settings store, else /dev/ttyS0 to /dev/ttyS3; a device that is not there is flagged),\n"
    "and the serial devices present (ttyS*, ttyAMA*, ttyUSB*, ttyACM*, rfcomm*) with their USB\n"
    "vendor:product, product name and serial number, their /dev/serial/by-id/ names, and a hint\n"
    "when you may not open them. --json writes it all as one JSON object.\n";

struct PortName {
    std::string name;
    std::string address;  // empty when unmapped
    std::string source;
    bool missing = false;  // a device path with no device behind it
};

std::vector<PortName> PortNames() {
    std::vector<PortName> names;
    for (int number = 1; number <= 4; ++number) {
        PortName port;
        port.name = "COM" + std::to_string(number);
        const auto address = platform::ResolvePortName(port.name);
        const auto stored = platform::StoredPortAddress(number);
        port.source = stored && !stored->empty() ? "stored port map" : "default";
        port.address = address ? *address : "";
        struct stat status {};
        port.missing =
            port.address.rfind('/', 0) == 0 && ::stat(port.address.c_str(), &status) != 0;
        names.push_back(port);
    }
    return names;
}

void PrintPortMap() {
    std::printf("port names:\n");
    for (const PortName& port : PortNames()) {
        std::printf("  %s  %-28s (%s)%s\n", port.name.c_str(),
                    port.address.empty() ? "-" : port.address.c_str(), port.source.c_str(),
                    port.missing ? "  device missing" : "");
    }
}

void PrintDevices() {
    std::printf("serial devices:\n");
    const auto devices = ListSerialDevices();
    for (const SerialDeviceEntry& device : devices) {
        std::printf("  %-16s group %s%s\n", device.path.c_str(), device.group.c_str(),
                    device.may_open ? "" : ", you may not open it");
        if (!device.usb_id.empty()) {
            std::printf("      USB %s  %s  serial %s\n", device.usb_id.c_str(),
                        device.product.empty() ? "-" : device.product.c_str(),
                        device.serial.empty() ? "-" : device.serial.c_str());
        }
        for (const std::string& link : device.by_id) {
            std::printf("      %s\n", link.c_str());
        }
        if (!device.hint.empty()) {
            std::printf("      hint: %s\n", device.hint.c_str());
        }
    }
    if (devices.empty()) {
        std::printf("  none found\n");
    }
}

std::string JsonBool(bool value) {
    return value ? "true" : "false";
}

// One JSON object with the port names and the devices.
void PrintJson() {
    std::string text = "{\"ports\":[";
    const char* separator = "";
    for (const PortName& port : PortNames()) {
        text += separator;
        text += "{\"name\":" + JsonString(port.name) + ",\"address\":" + JsonString(port.address) +
                ",\"source\":" + JsonString(port.source) +
                ",\"missing\":" + JsonBool(port.missing) + "}";
        separator = ",";
    }
    text += "],\"devices\":[";
    separator = "";
    for (const SerialDeviceEntry& device : ListSerialDevices()) {
        std::string links = "[";
        for (std::size_t i = 0; i < device.by_id.size(); ++i) {
            links += (i == 0 ? "" : ",") + JsonString(device.by_id[i]);
        }
        links += "]";
        text += separator;
        text += "{\"path\":" + JsonString(device.path) + ",\"by_id\":" + links +
                ",\"usb_id\":" + JsonString(device.usb_id) +
                ",\"serial\":" + JsonString(device.serial) +
                ",\"product\":" + JsonString(device.product) +
                ",\"group\":" + JsonString(device.group) +
                ",\"may_open\":" + JsonBool(device.may_open) +
                ",\"hint\":" + JsonString(device.hint) + "}";
        separator = ",";
    }
    text += "]}\n";
    std::fputs(text.c_str(), stdout);
}

}  // namespace

int RunPorts(const std::vector<std::string>& arguments) {
    ArgumentReader reader(arguments);
    bool json = false;
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (argument == "--json") {
            json = true;
            continue;
        }
        if (argument == "--help") {
            std::fputs(kHelp, stdout);
            return kExitSuccess;
        }
        if (argument == "--version") {
            PrintVersion();
            return kExitSuccess;
        }
        return UsageError(
            kCommand, (reader.IsOption(argument) ? "unknown option \"" : "unexpected argument \"") +
                          argument + "\"");
    }
    if (json) {
        PrintJson();
        return kExitSuccess;
    }
    PrintPortMap();
    PrintDevices();
    return kExitSuccess;
}

}  // namespace vantor::cli
