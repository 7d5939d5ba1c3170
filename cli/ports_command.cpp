#include "cli/ports_command.h"

#include <glob.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "platform/registry.h"
#include "platform/serial/port_map.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "ports";

constexpr const char* kHelp =
    "usage: vantor-cli ports\n"
    "\n"
    "Shows the device each of the port names COM1 to COM4 stands for (the port map in the\n"
    "settings store, else /dev/ttyS0 to /dev/ttyS3), and the serial devices present, with a\n"
    "hint when you may not open them.\n";

constexpr const char* kDevicePatterns[] = {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*",
                                           "/dev/serial/by-id/*"};

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

std::string GroupName(gid_t gid) {
    if (const group* entry = ::getgrgid(gid)) {
        return entry->gr_name;
    }
    return std::to_string(gid);
}

// The device's owner group, the verdict on opening it, and where a link points.
struct DeviceInfo {
    std::string path;
    std::string target;
    std::string group;
    bool exists = false;
    bool may_open = false;
};

DeviceInfo Inspect(const std::string& path) {
    DeviceInfo info{path, {}, {}, false, false};
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr && path != resolved) {
        info.target = resolved;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        info.exists = true;
        info.group = GroupName(status.st_gid);
        info.may_open = ::access(path.c_str(), R_OK | W_OK) == 0;
    }
    return info;
}

void PrintPortMap() {
    std::printf("port names:\n");
    if (const auto problem = platform::Registry().Problem()) {
        // Only read: the file is left as it is.
        std::printf("  %s; COM1 to COM4 name no device until it is mended or removed\n",
                    problem->c_str());
        return;
    }
    for (int number = 1; number <= 4; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const auto address = platform::ResolvePortName(name);
        const auto stored = platform::StoredPortAddress(number);
        const char* source = stored && !stored->empty() ? "stored port map" : "default";
        std::printf("  %s  %-28s (%s)\n", name.c_str(), address ? address->c_str() : "-", source);
    }
}

// Lists the devices; returns the groups of those the user may not open.
std::set<std::string> PrintDevices() {
    std::printf("serial devices:\n");
    std::set<std::string> locked_groups;
    int count = 0;
    for (const char* pattern : kDevicePatterns) {
        for (const std::string& path : Glob(pattern)) {
            const DeviceInfo info = Inspect(path);
            ++count;
            std::printf("  %-28s", info.path.c_str());
            if (!info.target.empty()) {
                std::printf(" -> %s", info.target.c_str());
            }
            if (!info.exists) {
                std::printf("  (dangling link)\n");
                continue;
            }
            std::printf("  group %s%s\n", info.group.c_str(),
                        info.may_open ? "" : ", you may not open it");
            if (!info.may_open) {
                locked_groups.insert(info.group);
            }
        }
    }
    if (count == 0) {
        std::printf("  none found\n");
    }
    return locked_groups;
}

}  // namespace

int RunPorts(const std::vector<std::string>& arguments) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
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
    PrintPortMap();
    for (const std::string& group : PrintDevices()) {
        std::printf(
            "hint: devices of the group \"%s\" open only for its members: sudo usermod -aG %s "
            "$USER, then log in again\n",
            group.c_str(), group.c_str());
    }
    return kExitSuccess;
}

}  // namespace vantor::cli
