// The serial devices of Windows for vantor-cli ports: the comm ports present, as the system lists
// them under HARDWARE\DEVICEMAP\SERIALCOMM, with the device manager's friendly names where it has
// one, and the \\.\COMn addresses a port name may stand for.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <map>
#include <string>
#include <vector>

#include "platform/serial/serial_devices.h"

namespace vantor::platform {

namespace {

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

const SystemDeviceTexts kSystemDeviceTexts{
    "Without a subcommand, shows the device each of the port names COM1 to COM4 stands for\n"
    "(the port map in the settings store, else the comm port of that name), and the comm\n"
    "ports present with their names in the device manager. --json writes the listing as one\n"
    "JSON object.\n",
    "\\\\.\\COMn, rfc2217://HOST:PORT, ", "\\\\.\\COMn, rfc2217://HOST:PORT"};

bool IsSystemDeviceAddress(const std::string& device) {
    return (device.rfind("\\\\.\\", 0) == 0 && device.size() > 4) ||
           (device.rfind("rfc2217://", 0) == 0 && device.size() > 10);
}

}  // namespace vantor::platform
