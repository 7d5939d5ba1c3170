// vantor-cli ports on Windows: the port map as on every system, and the comm ports present,
// as the system lists them under HARDWARE\DEVICEMAP\SERIALCOMM, with the device manager's
// friendly names where it has one.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/console/command_line.h"
#include "cli/console/exit_status.h"
#include "cli/ports/port_map_change.h"
#include "cli/ports/ports_command.h"
#include "cli/ports/serial_devices.h"
#include "platform/registry.h"
#include "platform/serial/port_map.h"
#include "sim/sim_options.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "ports";

constexpr const char* kHelp =
    "usage: vantor-cli ports\n"
    "       vantor-cli ports set COMn DEVICE\n"
    "       vantor-cli ports unset COMn\n"
    "\n"
    "Without a subcommand, shows the device each of the port names COM1 to COM4 stands for\n"
    "(the port map in the settings store, else the comm port of that name), and the comm\n"
    "ports present with their names in the device manager.\n"
    "\n"
    "  set COMn DEVICE  make COM1 to COM4 stand for DEVICE: \\\\.\\COMn, sim or sim:OPTIONS\n"
    "  unset COMn       give the port name its own comm port again\n"
    "  --help, -h, --version\n"
    "\n"
    "set and unset rewrite the settings store at once and keep every other value in it.\n"
    "\n"
    "exit status:\n"
    "  0   success\n"
    "  1   the settings store could not be written\n"
    "  64  usage error\n";

// The device manager's names of the ports it knows, by port name ("COM3" -> "USB Serial Port
// (COM3)").
std::map<std::string, std::string> FriendlyNames() {
    std::map<std::string, std::string> names;
    // The device setup class of ports (COM and LPT).
    GUID ports_class{0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO set = ::SetupDiGetClassDevsA(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return names;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        char friendly[256] = {};
        if (!::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                 reinterpret_cast<BYTE*>(friendly),
                                                 sizeof(friendly) - 1, nullptr)) {
            continue;
        }
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        char port[64] = {};
        DWORD size = sizeof(port) - 1;
        DWORD type = 0;
        if (::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port),
                               &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            names[port] = friendly;
        }
        ::RegCloseKey(key);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return names;
}

// The comm ports present: the data of each value of HARDWARE\DEVICEMAP\SERIALCOMM.
std::vector<std::string> CommPorts() {
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0; index < 1024; ++index) {
        char name[256];
        DWORD name_size = sizeof(name);
        char data[64] = {};
        DWORD data_size = sizeof(data) - 1;
        DWORD type = 0;
        const LONG result = ::RegEnumValueA(key, index, name, &name_size, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &data_size);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result == ERROR_SUCCESS && type == REG_SZ) {
            ports.emplace_back(data);
        }
    }
    ::RegCloseKey(key);
    return ports;
}

}  // namespace

// The comm ports present, for a port named by identity. Windows lists no USB serial numbers or
// by-id names here, so such a name finds none and says so.
std::vector<SerialDeviceEntry> ListSerialDevices() {
    std::vector<SerialDeviceEntry> devices;
    const auto friendly = FriendlyNames();
    for (const std::string& port : CommPorts()) {
        SerialDeviceEntry device;
        device.path = port;
        const auto found = friendly.find(port);
        device.product = found != friendly.end() ? found->second : "";
        device.may_open = true;
        devices.push_back(device);
    }
    return devices;
}

namespace {

void PrintPortMap() {
    std::printf("port names (port map in %s):\n", platform::RegistryFilePath().c_str());
    for (int number = 1; number <= 4; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const auto address = platform::ResolvePortName(name);
        const auto stored = platform::StoredPortAddress(number);
        const char* source = stored && !stored->empty() ? "stored port map" : "default";
        std::printf("  %s  %-28s (%s)\n", name.c_str(), address ? address->c_str() : "-", source);
    }
}

void PrintCommPorts() {
    std::printf("comm ports:\n");
    const auto friendly = FriendlyNames();
    const auto ports = CommPorts();
    for (const std::string& port : ports) {
        const auto found = friendly.find(port);
        std::printf("  %-8s%s\n", port.c_str(),
                    found != friendly.end() ? ("  " + found->second).c_str() : "");
    }
    if (ports.empty()) {
        std::printf("  none found\n");
    }
}

}  // namespace

// Why `device` is not an address the job can open; nothing when it is one.
std::optional<std::string> CheckPortDevice(const std::string& device) {
    if (device.rfind("sim:", 0) == 0) {
        std::string error;
        if (!sim::ParseSimOptions(device.substr(4), &error)) {
            return "DEVICE \"" + device + "\": " + error;
        }
        return std::nullopt;
    }
    if (device == "sim" || (device.rfind("\\\\.\\", 0) == 0 && device.size() > 4)) {
        return std::nullopt;
    }
    return "DEVICE \"" + device + "\" is not a device address (\\\\.\\COMn, sim or sim:OPTIONS)";
}

int RunPorts(const std::vector<std::string>& arguments) {
    ArgumentReader reader(arguments);
    std::vector<std::string> operands;
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (argument == "--help" || argument == "-h") {
            std::fputs(kHelp, stdout);
            return kExitSuccess;
        }
        if (argument == "--version") {
            PrintVersion();
            return kExitSuccess;
        }
        if (reader.IsOption(argument)) {
            return UsageError(kCommand, "unknown option \"" + argument + "\"");
        }
        operands.push_back(argument);
    }
    if (operands.empty()) {
        PrintPortMap();
        PrintCommPorts();
        return kExitSuccess;
    }
    const std::string& subcommand = operands.front();
    if (subcommand != "set" && subcommand != "unset") {
        return UsageError(kCommand, "unexpected argument \"" + subcommand + "\"");
    }
    return RunPortMapChange(subcommand, {operands.begin() + 1, operands.end()});
}

}  // namespace vantor::cli
