#include "platform/serial/serial_devices.h"

#include <glob.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

#ifdef VANTOR_HAVE_LIBUDEV
#include <libudev.h>
#endif

namespace vantor::platform {

namespace {

constexpr const char* kDevicePatterns[] = {"/dev/ttyS*", "/dev/ttyAMA*", "/dev/ttyUSB*",
                                           "/dev/ttyACM*", "/dev/rfcomm*"};

std::vector<std::string> Glob(const char* pattern) {
    std::vector<std::string> paths;
    glob_t found{};
    if (::glob(pattern, 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            paths.emplace_back(found.gl_pathv[i]);
        }
    }
    ::globfree(&found);
    return paths;
}

std::string Resolved(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

std::string GroupName(gid_t gid) {
    if (const group* entry = ::getgrgid(gid)) {
        return entry->gr_name;
    }
    return std::to_string(gid);
}

#ifdef VANTOR_HAVE_LIBUDEV
std::string Attribute(udev_device* device, const char* name) {
    const char* value = device != nullptr ? udev_device_get_sysattr_value(device, name) : nullptr;
    return value != nullptr ? value : "";
}

// What the USB device above a tty says of itself.
void DescribeUsb(udev* context, const std::string& path, SerialDeviceEntry& entry) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return;
    }
    udev_device* tty = udev_device_new_from_devnum(context, 'c', status.st_rdev);
    if (tty == nullptr) {
        return;
    }
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb != nullptr) {
        const std::string vendor = Attribute(usb, "idVendor");
        const std::string product_id = Attribute(usb, "idProduct");
        if (!vendor.empty() && !product_id.empty()) {
            entry.usb_id = vendor + ":" + product_id;
        }
        entry.serial = Attribute(usb, "serial");
        entry.product = Attribute(usb, "product");
    }
    udev_device_unref(tty);  // the parent belongs to it
}
#endif

// The advice for a device the user may not open, from its mode and group (and its USB ids for a
// udev rule): joining the group helps only when the group may read and write, and never for
// root's group.
std::string PermissionHint(unsigned mode, const std::string& group, const std::string& usb_id) {
    const bool group_may_use = (mode & S_IRGRP) != 0 && (mode & S_IWGRP) != 0;
    if (group_may_use && group != "root") {
        return "join the group \"" + group + "\": sudo usermod -aG " + group +
               " $USER, then log in again";
    }
    // A port of the machine itself may be its console: nothing is suggested that would hand
    // it to a group. A USB adapter is given to dialout by the rule the package ships, which
    // matches every adapter by its kind rather than by a name the kernel may give another.
    if (usb_id.empty()) {
        return "no group may open it, and it is no USB adapter (it may be the machine's own "
               "port or its console): name the port the drive is on";
    }
    return "no group may open it: install the udev rule that comes with Vantor, which gives "
           "USB serial adapters to the group dialout (sudo cp "
           "/usr/share/doc/vantor/examples/60-vantor-serial.rules /etc/udev/rules.d/, then "
           "sudo udevadm control --reload and sudo udevadm trigger), then join dialout";
}

}  // namespace

const SystemDeviceTexts kSystemDeviceTexts{
    "Without a subcommand, shows the device each of the port names COM1 to COM4 stands for\n"
    "(the port map in the settings store, else /dev/ttyS0 to /dev/ttyS3; a device that is not\n"
    "there is flagged), and the serial devices present (ttyS*, ttyAMA*, ttyUSB*, ttyACM*,\n"
    "rfcomm*) with their USB vendor:product, product name and serial number, their\n"
    "/dev/serial/by-id/ names, and a hint when you may not open them. --json writes the\n"
    "listing as one JSON object.\n",
    "/dev/serial/by-id/...,\n"
    "                   /dev/ttyUSB0, rfc2217://HOST:PORT, ",
    "/dev/..., rfc2217://HOST:PORT"};

bool IsSystemDeviceAddress(const std::string& device) {
    return (device.size() > 1 && device[0] == '/') ||
           (device.rfind("rfc2217://", 0) == 0 && device.size() > 10);
}

std::vector<SerialDeviceEntry> ListSerialDevices() {
    std::map<std::string, std::vector<std::string>> links;
    for (const std::string& link : Glob("/dev/serial/by-id/*")) {
        links[Resolved(link)].push_back(link);
    }
#ifdef VANTOR_HAVE_LIBUDEV
    udev* context = udev_new();
#endif
    std::vector<SerialDeviceEntry> devices;
    for (const char* pattern : kDevicePatterns) {
        for (const std::string& path : Glob(pattern)) {
            SerialDeviceEntry entry;
            entry.path = path;
            entry.by_id = links[path];
            struct stat status {};
            if (::stat(path.c_str(), &status) != 0) {
                continue;
            }
#ifdef VANTOR_HAVE_LIBUDEV
            if (context != nullptr) {
                DescribeUsb(context, path, entry);
            }
#endif
            entry.group = GroupName(status.st_gid);
            entry.may_open = ::access(path.c_str(), R_OK | W_OK) == 0;
            if (!entry.may_open) {
                entry.hint = PermissionHint(status.st_mode, entry.group, entry.usb_id);
            }
            devices.push_back(std::move(entry));
        }
    }
#ifdef VANTOR_HAVE_LIBUDEV
    if (context != nullptr) {
        udev_unref(context);
    }
#endif
    return devices;
}

}  // namespace vantor::platform
