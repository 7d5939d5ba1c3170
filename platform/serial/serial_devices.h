// What each system supplies to `vantor-cli ports`, and to the ports named by identity: the serial
// devices present, and the device addresses of its own that a port name may stand for. Everything
// else of the command is the same on every system. One source file per system:
// serial_devices_posix.cpp (on-board UARTs, USB adapters and Bluetooth ports under /dev, with
// what a USB device says of itself through libudev where the program was built with it) and
// win/serial_devices_win.cpp (the comm ports the system lists, with the device manager's names).
#pragma once

#include <string>
#include <vector>

namespace vantor::platform {

struct SerialDeviceEntry {
    std::string path;                // /dev/ttyUSB0, or COM3 on Windows
    std::vector<std::string> by_id;  // /dev/serial/by-id/... links to it
    std::string usb_id;              // "0403:6001", empty when not a USB device
    std::string serial;              // the USB serial number
    std::string product;             // the USB product name, or the device manager's name
    std::string group;               // empty where the system has no device groups
    bool may_open = false;
    // What to do when the user may not open it: join the group when the group may read and
    // write it, else a udev rule that gives it to a group the user can join.
    std::string hint;
};

std::vector<SerialDeviceEntry> ListSerialDevices();

// True when `device` is an address of this system's own devices that the job can open (a device
// path, a network serial port); the simulated drive's addresses are every system's and not
// judged here.
bool IsSystemDeviceAddress(const std::string& device);

// What the help and the usage errors of `ports` say of this system's devices.
struct SystemDeviceTexts {
    // The help's paragraph on what the listing shows, line ends included.
    const char* listing_help;
    // The device addresses `ports set` takes, as its help line lists them before "sim or
    // sim:OPTIONS" (line ends and indentation included).
    const char* set_help;
    // The same forms, short, for the usage error of a device that is none of them.
    const char* address_forms;
};
extern const SystemDeviceTexts kSystemDeviceTexts;

}  // namespace vantor::platform
