// The device behind a station's port on POSIX systems: a device node by its device number, any
// other file by its inode, a network serial port by the addresses its host name resolves to.
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "line/station_device.h"
#include "platform/serial/port_identity.h"
#include "platform/serial/port_map.h"

namespace vantor::line {

namespace {

constexpr const char* kNetworkScheme = "rfc2217://";
// A host name that takes longer to look up is known by its text: the station's own open has a
// bound of its own.
constexpr auto kLookupBound = std::chrono::seconds(2);

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A device node is known by its device number, whatever name or link leads to it; any other
// file by its file system and inode. stat() follows links and never opens the device.
void AddPathKey(const std::string& path, std::vector<std::string>& keys) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return;
    }
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
        keys.push_back("device:" + std::to_string(status.st_rdev));
    } else {
        keys.push_back("inode:" + std::to_string(status.st_dev) + ":" +
                       std::to_string(status.st_ino));
    }
}

struct Lookup {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::vector<std::string> addresses;
};

// The numeric addresses of `host`, looked up on a thread of its own so that a resolver that
// does not answer holds the line for at most kLookupBound; empty when none were found in time.
std::vector<std::string> HostAddresses(const std::string& host, const std::string& port) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        std::vector<std::string> found;
        if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) == 0) {
            for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
                char numeric[NI_MAXHOST];
                if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, numeric, sizeof numeric,
                                  nullptr, 0, NI_NUMERICHOST) == 0) {
                    found.emplace_back(numeric);
                }
            }
            ::freeaddrinfo(list);
        }
        std::lock_guard lock(lookup->mutex);
        lookup->addresses = std::move(found);
        lookup->done = true;
        lookup->done_changed.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done_changed.wait_for(lock, kLookupBound, [&] { return lookup->done; })) {
        return {};
    }
    return lookup->addresses;
}

// "rfc2217://HOST:PORT" (HOST in brackets for an IPv6 address) is known by each address of
// HOST with PORT; a host that does not resolve, by its text only.
void AddNetworkKeys(const std::string& address, std::vector<std::string>& keys) {
    std::string rest = address.substr(std::string(kNetworkScheme).size());
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return;
    }
    std::string host = rest.substr(0, colon);
    const std::string port = rest.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    for (const std::string& numeric : HostAddresses(host, port)) {
        keys.push_back("network:[" + numeric + "]:" + port);
    }
}

}  // namespace

std::vector<std::string> StationDeviceKeys(const std::string& port) {
    std::vector<std::string> keys{"text:" + port};
    // Each station opens a simulated drive of its own.
    if (port == "sim" || StartsWith(port, "sim:")) {
        return keys;
    }
    std::string address = port;
    if (platform::IsPortIdentity(port)) {
        address = platform::ResolvePortIdentity(port, platform::ListSerialDevices()).device;
    } else if (StartsWith(port, "COM")) {
        address = platform::ResolvePortName(port).ValueOr(std::nullopt).value_or("");
    }
    if (address.empty() || address == "sim" || StartsWith(address, "sim:")) {
        return keys;
    }
    keys.push_back("text:" + address);
    if (address.front() == '/') {
        AddPathKey(address, keys);
    } else if (StartsWith(address, kNetworkScheme)) {
        AddNetworkKeys(address, keys);
    }
    return keys;
}

}  // namespace vantor::line
