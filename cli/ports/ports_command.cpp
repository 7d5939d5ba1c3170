#include "cli/ports/ports_command.h"

#include <sys/stat.h>

#include <cstdio>

#include "cli/console/command_line.h"
#include "cli/ports/port_map_change.h"
#include "platform/registry.h"
#include "platform/serial/port_map.h"
#include "platform/serial/serial_devices.h"
#include "records/exit_status.h"
#include "records/json_writer.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "ports";

// The help, around what this system says of its devices (kSystemDeviceTexts).
constexpr const char* kHelpUsage =
    "usage: vantor-cli ports [--json]\n"
    "       vantor-cli ports set COMn DEVICE\n"
    "       vantor-cli ports unset COMn\n"
    "\n";
constexpr const char* kHelpSet = "  set COMn DEVICE  make COM1 to COM4 stand for DEVICE: ";
constexpr const char* kHelpRest =
    "sim or sim:OPTIONS\n"
    "  unset COMn       give the port name its default device again\n"
    "  --help, -h, --version\n"
    "\n"
    "set and unset rewrite the settings store at once and keep every other value in it.\n"
    "\n"
    "exit status:\n"
    "  0   success\n"
    "  1   the settings store could not be written\n"
    "  64  usage error\n";

void PrintHelp() {
    std::printf("%s%s\n%s%s%s", kHelpUsage, platform::kSystemDeviceTexts.listing_help, kHelpSet,
                platform::kSystemDeviceTexts.set_help, kHelpRest);
}

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
        const auto stored = platform::StoredPortAddress(number).ValueOr(std::nullopt);
        port.source = stored && !stored->empty() ? "stored port map" : "default";
        port.address = platform::ResolvePortName(port.name).ValueOr(std::nullopt).value_or("");
        struct stat status {};
        port.missing =
            port.address.rfind('/', 0) == 0 && ::stat(port.address.c_str(), &status) != 0;
        names.push_back(port);
    }
    return names;
}

void PrintPortMap() {
    std::printf("port names (port map in %s):\n", platform::RegistryFilePath().c_str());
    if (const Result<void> readable = platform::Registry().CheckReadable(); !readable) {
        // Only read: the file is left as it is.
        std::printf("  %s; COM1 to COM4 name no device until it is mended or removed\n",
                    readable.reason().c_str());
        return;
    }
    for (const PortName& port : PortNames()) {
        std::printf("  %s  %-28s (%s)%s\n", port.name.c_str(),
                    port.address.empty() ? "-" : port.address.c_str(), port.source.c_str(),
                    port.missing ? "  device missing" : "");
    }
}

void PrintDevices() {
    std::printf("serial devices:\n");
    const auto devices = platform::ListSerialDevices();
    for (const platform::SerialDeviceEntry& device : devices) {
        if (device.group.empty()) {
            std::printf("  %s%s\n", device.path.c_str(),
                        device.may_open ? "" : ", you may not open it");
        } else {
            std::printf("  %-16s group %s%s\n", device.path.c_str(), device.group.c_str(),
                        device.may_open ? "" : ", you may not open it");
        }
        if (!device.usb_id.empty()) {
            std::printf("      USB %s  %s  serial %s\n", device.usb_id.c_str(),
                        device.product.empty() ? "-" : device.product.c_str(),
                        device.serial.empty() ? "-" : device.serial.c_str());
        } else if (!device.product.empty()) {
            std::printf("      %s\n", device.product.c_str());
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

// One JSON object with the port names and the devices.
void PrintJson() {
    records::JsonArray ports;
    for (const PortName& port : PortNames()) {
        ports.Object(records::JsonObject()
                         .String("name", port.name)
                         .String("address", port.address)
                         .String("source", port.source)
                         .Bool("missing", port.missing));
    }
    records::JsonArray devices;
    for (const platform::SerialDeviceEntry& device : platform::ListSerialDevices()) {
        records::JsonArray links;
        for (const std::string& link : device.by_id) {
            links.String(link);
        }
        devices.Object(records::JsonObject()
                           .String("path", device.path)
                           .Array("by_id", links)
                           .String("usb_id", device.usb_id)
                           .String("serial", device.serial)
                           .String("product", device.product)
                           .String("group", device.group)
                           .Bool("may_open", device.may_open)
                           .String("hint", device.hint));
    }
    const std::string text =
        records::JsonObject().Array("ports", ports).Array("devices", devices).Text();
    std::printf("%s\n", text.c_str());
}

int ShowPorts(bool json) {
    if (json) {
        PrintJson();
        return records::kExitSuccess;
    }
    PrintPortMap();
    PrintDevices();
    return records::kExitSuccess;
}

}  // namespace

int RunPorts(const std::vector<std::string>& arguments) {
    ArgumentReader reader(arguments);
    std::vector<std::string> operands;
    bool json = false;
    while (!reader.Done()) {
        const Result<platform::Argument> read = platform::ReadArgument(reader, PortsOptions());
        if (!read) {
            return UsageError(kCommand, read.reason());
        }
        const platform::Argument& argument = *read;
        if (!argument.is_option) {
            operands.push_back(argument.text);
        } else if (argument.option == nullptr) {
            return UsageError(kCommand, UnknownOption(argument.text, PortsOptions()));
        } else if (argument.text == "--json") {
            json = true;
        } else {
            argument.text == "--version" ? PrintVersion() : PrintHelp();
            return records::kExitSuccess;
        }
    }
    if (operands.empty()) {
        return ShowPorts(json);
    }
    if (json) {
        return UsageError(kCommand, "--json goes only with the listing");
    }
    const std::string& subcommand = operands.front();
    if (subcommand != "set" && subcommand != "unset") {
        return UsageError(kCommand, "unexpected argument \"" + subcommand + "\"");
    }
    return RunPortMapChange(subcommand, {operands.begin() + 1, operands.end()});
}

platform::OptionTable PortsOptions() {
    static constexpr platform::ProgramOption kOptions[] = {
        {"--json"}, {"--help"}, {"-h"}, {"--version"}};
    return kOptions;
}

}  // namespace vantor::cli
