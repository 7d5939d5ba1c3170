#include "cli/ports_command.h"

#include <glob.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

#include "cli/command_line.h"
#include "cli/exit_status.h"
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
    "(the port map in the settings store, else /dev/ttyS0 to /dev/ttyS3), and the serial\n"
    "devices present, with a hint when you may not open them.\n"
    "\n"
    "  set COMn DEVICE  make COM1 to COM4 stand for DEVICE: /dev/serial/by-id/...,\n"
    "                   /dev/ttyUSB0, rfc2217://HOST:PORT, sim or sim:OPTIONS\n"
    "  unset COMn       give the port name its default device again\n"
    "  --help, -h, --version\n"
    "\n"
    "set and unset rewrite the settings store at once and keep every other value in it.\n"
    "\n"
    "exit status:\n"
    "  0   success\n"
    "  1   the settings store could not be written\n"
    "  64  usage error\n";

constexpr int kExitStoreUnwritable = 1;

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
    std::printf("port names (port map in %s):\n", platform::RegistryFilePath().c_str());
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

// 1 to 4 for "COM1" to "COM4"; nothing for any other text.
std::optional<int> PortNumber(const std::string& name) {
    if (name.size() == 4 && name.compare(0, 3, "COM") == 0 && name[3] >= '1' && name[3] <= '4') {
        return name[3] - '0';
    }
    return std::nullopt;
}

// Why `device` is not an address the job can open; nothing when it is one.
std::optional<std::string> CheckDevice(const std::string& device) {
    if (device.rfind("sim:", 0) == 0) {
        std::string error;
        if (!sim::ParseSimOptions(device.substr(4), &error)) {
            return "DEVICE \"" + device + "\": " + error;
        }
        return std::nullopt;
    }
    if (device == "sim" || (device.size() > 1 && device[0] == '/') ||
        (device.rfind("rfc2217://", 0) == 0 && device.size() > 10)) {
        return std::nullopt;
    }
    return "DEVICE \"" + device +
           "\" is not a device address (/dev/..., rfc2217://HOST:PORT, sim or sim:OPTIONS)";
}

int StoreFailure(const platform::Registry& registry) {
    std::fprintf(stderr, "vantor-cli ports: the settings store %s could not be written\n",
                 registry.FilePath().c_str());
    return kExitStoreUnwritable;
}

int SetPort(int number, const std::string& device) {
    const platform::Registry registry;
    auto key = registry.CreateKey(platform::kPortsKey);
    if (!key || !registry.SetValue(*key, "COM" + std::to_string(number), device)) {
        return StoreFailure(registry);
    }
    platform::Registry::CloseKey(*key);
    std::printf("COM%d = %s (stored in %s)\n", number, device.c_str(), registry.FilePath().c_str());
    struct stat status {};
    if (device[0] == '/' && ::stat(device.c_str(), &status) != 0) {
        std::printf("note: %s is not present now\n", device.c_str());
    }
    return kExitSuccess;
}

int UnsetPort(int number) {
    const platform::Registry registry;
    const std::string name = "COM" + std::to_string(number);
    if (auto key = registry.OpenKeyForReading(platform::kPortsKey)) {
        if (!registry.DeleteValue(*key, name)) {
            return StoreFailure(registry);
        }
        platform::Registry::CloseKey(*key);
    }
    std::printf("%s = %s (default)\n", name.c_str(),
                platform::ResolvePortName(name).value_or("-").c_str());
    return kExitSuccess;
}

// "set COMn DEVICE" or "unset COMn", after the subcommand's name.
int RunChange(const std::string& subcommand, const std::vector<std::string>& operands) {
    const std::size_t wanted = subcommand == "set" ? 2 : 1;
    if (operands.size() < wanted) {
        return UsageError(kCommand,
                          subcommand + (wanted == 2 ? " needs COMn and DEVICE" : " needs COMn"));
    }
    if (operands.size() > wanted) {
        return UsageError(kCommand, "unexpected argument \"" + operands[wanted] + "\"");
    }
    const auto number = PortNumber(operands[0]);
    if (!number) {
        return UsageError(kCommand, "\"" + operands[0] + "\" is not a port name (COM1 to COM4)");
    }
    if (wanted == 1) {
        return UnsetPort(*number);
    }
    if (const auto problem = CheckDevice(operands[1])) {
        return UsageError(kCommand, *problem);
    }
    return SetPort(*number, operands[1]);
}

int ShowPorts() {
    PrintPortMap();
    for (const std::string& group : PrintDevices()) {
        std::printf(
            "hint: devices of the group \"%s\" open only for its members: sudo usermod -aG %s "
            "$USER, then log in again\n",
            group.c_str(), group.c_str());
    }
    return kExitSuccess;
}

}  // namespace

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
        return ShowPorts();
    }
    const std::string& subcommand = operands.front();
    if (subcommand != "set" && subcommand != "unset") {
        return UsageError(kCommand, "unexpected argument \"" + subcommand + "\"");
    }
    return RunChange(subcommand, {operands.begin() + 1, operands.end()});
}

}  // namespace vantor::cli
