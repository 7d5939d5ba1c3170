#include "platform/serial/port_map.h"

#include <atomic>
#include <string_view>

#include "platform/program_options.h"
#include "platform/registry.h"
#include "platform/serial/native_serial_device.h"

namespace vantor::platform {

namespace {

// The registry's port map is consulted unless a front end or test installs another source, so
// every front end sees the map without doing anything.
std::atomic<StoredPortLookup> g_stored_lookup{&StoredPortAddress};

// "COM1" to "COM255" give 1 to 255; every other name (a leading zero too) 0.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0 || name[3] == '0' ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return 0;
    }
    return static_cast<int>(ParseWhole(std::string_view(name).substr(3), 1, 255).value_or(0));
}

}  // namespace

void PortMap::Set(int number, const std::string& address) {
    if (number < 1 || number > 4) {
        return;
    }
    named_[number - 1] = address;
}

Result<std::optional<std::string>> PortMap::Resolve(const std::string& name) const {
    const int number = ComNumber(name);
    if (number < 1 || number > 4) {
        return number == 0 ? std::nullopt : UnmappedPortAddress(number);
    }
    if (!named_[number - 1].empty()) {
        return named_[number - 1];
    }
    if (const StoredPortLookup lookup = g_stored_lookup.load()) {
        // A map that cannot be read is passed on; an empty stored address gives the default.
        if (auto stored = lookup(number); !stored || !stored->value_or("").empty()) {
            return stored;
        }
    }
    return UnmappedPortAddress(number);
}

Result<std::optional<std::string>> ResolvePortName(const std::string& name) {
    return PortMap().Resolve(name);
}

StoredPortLookup SetStoredPortLookup(StoredPortLookup lookup) {
    return g_stored_lookup.exchange(lookup);
}

}  // namespace vantor::platform
