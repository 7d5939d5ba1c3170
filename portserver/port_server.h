// A serial device of this machine served over the network (RFC 2217) with the project's server
// code, so that a drive in a cabinet can be reached through a small computer next to it. One
// client at a time; the device is opened for each client and released when it leaves.
#pragma once

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/serial/rfc2217_server.h"

namespace vantor::portserver {

// What the server answers a client's SIGNATURE with.
inline constexpr char kSignature[] = "vantor-port-server";
// Each client finds the line as a port opens here, whatever the client before it set:
// 9600 baud, 8 data bits, no parity, one stop bit.
inline constexpr std::uint32_t kClientStartBaudRate = 9600;

// A network that may connect ("ADDRESS/PREFIX"): IPv4 addresses are kept as IPv6 addresses
// mapped from IPv4, so that one comparison serves both.
struct AllowedNetwork {
    std::array<std::uint8_t, 16> address{};
    int prefix_bits = 0;
};

// "192.168.1.0/24", "10.0.0.7" (one host), "fd00::/8"; for anything else, why it is not one.
Result<AllowedNetwork> ParseAllowedNetwork(const std::string& text);

// Whether `peer` may connect: every peer when `allowed` is empty.
bool IsAllowed(const sockaddr* peer, const std::vector<AllowedNetwork>& allowed);

struct PortServerOptions {
    std::string device;  // the serial device's path
    std::vector<AllowedNetwork> allowed;
    platform::rfc2217_server::KeepAlive keepalive;
};

// Accepts clients on `listen_fd` until `stop` is set. The first client is served with the
// device opened for it (exclusively, with its lock file) at the start settings; a client that comes
// meanwhile, one that --allow does not let in, and one for whom the device cannot be opened are
// told why in a line of text and disconnected. Logs one line per event to `log` when it is given.
// On return the device is closed and no client is connected; `listen_fd` stays open.
void ServePort(int listen_fd, const PortServerOptions& options, const std::atomic<bool>& stop,
               std::FILE* log);

}  // namespace vantor::portserver
