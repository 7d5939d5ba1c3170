// The address lookup of the network serial port client, the same on every system.
#include "platform/serial/net_socket.h"
#include "platform/serial/net_system.h"

namespace vantor::platform::net {

LookedUp LookUp(const std::string& host, const std::string& port, bool numeric_only) {
    LookedUp looked_up;
    looked_up.error = SocketsProblem();
    if (!looked_up.error.empty()) {
        return looked_up;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numeric_only ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int failure = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (failure != 0) {
        looked_up.error = LookupFailureText(failure);
        return looked_up;
    }
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry->ai_addr);
        looked_up.addresses.push_back(
            {entry->ai_family, entry->ai_socktype, entry->ai_protocol,
             std::vector<std::uint8_t>(bytes, bytes + entry->ai_addrlen)});
    }
    ::freeaddrinfo(list);
    if (looked_up.addresses.empty()) {
        looked_up.error = "no address";
    }
    return looked_up;
}

}  // namespace vantor::platform::net
