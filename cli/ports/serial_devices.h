// The serial devices present on this machine, as `vantor-cli ports` lists them: on-board UARTs
// (ttyS*, ttyAMA*), USB adapters (ttyUSB*, ttyACM*) and Bluetooth ports (rfcomm*), each with
// what the USB device says of itself and its stable /dev/serial/by-id/ names (through libudev
// where the program was built with it), its group, and what the user must do to open it.
#pragma once

#include <string>
#include <vector>

namespace vantor::cli {

struct SerialDeviceEntry {
    std::string path;                // /dev/ttyUSB0
    std::vector<std::string> by_id;  // /dev/serial/by-id/... links to it
    std::string usb_id;              // "0403:6001", empty when not a USB device
    std::string serial;              // the USB serial number
    std::string product;             // the USB product name
    std::string group;
    bool may_open = false;
    // What to do when the user may not open it: join the group when the group may read and
    // write it, else a udev rule that gives it to a group the user can join.
    std::string hint;
};

std::vector<SerialDeviceEntry> ListSerialDevices();

// The advice for a device the user may not open, from its mode and group (and its USB ids
// for a udev rule): joining the group helps only when the group may read and write, and never
// for root's group.
std::string PermissionHint(const std::string& path, unsigned mode, const std::string& group,
                           const std::string& usb_id);

}  // namespace vantor::cli
