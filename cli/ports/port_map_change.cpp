#include "cli/ports/port_map_change.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/console/command_line.h"
#include "platform/registry.h"
#include "platform/serial/port_map.h"
#include "platform/serial/serial_devices.h"
#include "platform/store_file.h"
#include "records/exit_status.h"
#include "sim/sim_options.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "ports";
constexpr int kExitStoreUnwritable = 1;

// 1 to 4 for "COM1" to "COM4"; nothing for any other text.
std::optional<int> PortNumber(const std::string& name) {
    if (name.size() == 4 && name.compare(0, 3, "COM") == 0 && name[3] >= '1' && name[3] <= '4') {
        return name[3] - '0';
    }
    return std::nullopt;
}

int StoreFailure(const platform::Registry& registry) {
    std::fprintf(stderr, "vantor-cli ports: the settings store %s could not be written\n",
                 registry.FilePath().c_str());
    return kExitStoreUnwritable;
}

// A store made read-only, or one with a line that is not the store's, is refused before
// anything is written, with the reason. A damaged store is kept byte for byte, as the window
// keeps it: setting it aside for a store of one mapping would drop every mapping it holds, and
// the ports they name would fall back to their default devices unseen.
std::optional<int> RefuseReadOnlyStore(const platform::Registry& registry) {
    if (const Result<void> readable = registry.CheckReadable(); !readable) {
        std::fprintf(stderr,
                     "vantor-cli ports: nothing is changed: %s. The file is left as it is, with "
                     "every mapping it holds: mend that line (vantor(5) says what the store may "
                     "hold) or move the file away for a fresh store, then run this again\n",
                     readable.reason().c_str());
        return kExitStoreUnwritable;
    }
    const Result<void> replaceable = platform::CheckReplaceable(registry.FilePath());
    if (replaceable) {
        return std::nullopt;
    }
    std::fprintf(stderr, "vantor-cli ports: the settings store %s is not changed: %s\n",
                 registry.FilePath().c_str(), replaceable.reason().c_str());
    return kExitStoreUnwritable;
}

int SetPort(int number, const std::string& device) {
    const platform::Registry registry(platform::RegistryFilePath(),
                                      platform::Registry::DamagedFile::Keep);
    if (const auto refused = RefuseReadOnlyStore(registry)) {
        return *refused;
    }
    auto key = registry.CreateKey(platform::kPortsKey);
    if (!key || !registry.SetValue(*key, "COM" + std::to_string(number), device)) {
        return StoreFailure(registry);
    }
    platform::Registry::CloseKey(*key);
    std::printf("COM%d = %s (stored in %s)\n", number, device.c_str(), registry.FilePath().c_str());
    // A device path may name an adapter that is plugged in later: stored all the same.
    std::error_code error;
    if (device[0] == '/' && !std::filesystem::exists(device, error)) {
        std::printf("note: %s is not present now\n", device.c_str());
    }
    return records::kExitSuccess;
}

int UnsetPort(int number) {
    const platform::Registry registry(platform::RegistryFilePath(),
                                      platform::Registry::DamagedFile::Keep);
    if (const auto refused = RefuseReadOnlyStore(registry)) {
        return *refused;
    }
    const std::string name = "COM" + std::to_string(number);
    if (auto key = registry.OpenKeyForReading(platform::kPortsKey)) {
        if (!registry.DeleteValue(*key, name)) {
            return StoreFailure(registry);
        }
        platform::Registry::CloseKey(*key);
    }
    std::printf("%s = %s (default)\n", name.c_str(),
                platform::ResolvePortName(name).ValueOr(std::nullopt).value_or("-").c_str());
    return records::kExitSuccess;
}

}  // namespace

Result<void> CheckPortDevice(const std::string& device) {
    if (device.rfind("sim:", 0) == 0) {
        if (const auto options = sim::ParseSimOptions(device.substr(4)); !options) {
            return Failure{"DEVICE \"" + device + "\": " + options.reason()};
        }
        return {};
    }
    if (device == "sim" || platform::IsSystemDeviceAddress(device)) {
        return {};
    }
    return Failure{"DEVICE \"" + device + "\" is not a device address (" +
                   platform::kSystemDeviceTexts.address_forms + ", sim or sim:OPTIONS)"};
}

int RunPortMapChange(const std::string& subcommand, const std::vector<std::string>& operands) {
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
    if (const Result<void> device = CheckPortDevice(operands[1]); !device) {
        return UsageError(kCommand, device.reason());
    }
    return SetPort(*number, operands[1]);
}

}  // namespace vantor::cli
