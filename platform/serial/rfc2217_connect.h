// The network serial port client's way to its server: the address "rfc2217://HOST:PORT" taken
// apart, the host looked up and connected to, all within the open's budget.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.h"

namespace vantor::platform {

inline constexpr char kRfc2217Scheme[] = "rfc2217://";

struct HostPort {
    std::string host;
    std::string port;
};

// "rfc2217://HOST:PORT", HOST in brackets when it is an IPv6 address; nothing for anything else.
std::optional<HostPort> ParseRfc2217Address(const std::string& address);

// Tries each address of the host in turn, all within one deadline on the process clock: the
// connected socket, or -1 with `why`.
Result<int> ConnectRfc2217(const HostPort& target, std::int64_t deadline_ns);

}  // namespace vantor::platform
