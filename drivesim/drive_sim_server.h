// The server side of a network serial port (RFC 2217) in front of a serial device: here the host
// side of a simulated line, so that the simulated drive can be reached like a drive behind a
// serial device server.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/serial/serial_device.h"
#include "sim/sim_world.h"

namespace vantor::drivesim {

// How often the line is looked at: the link polls every millisecond, and so does the server.
inline constexpr int kPollIntervalMs = 1;

// Serves one connected client over `line` until the client leaves or `stop` is set: the
// client's data goes out on the line and the line's data back to the client, the client's
// serial port control commands act on the line, and breaks received on the line are reported as
// line state once the client has asked for them. Does not close `client_fd`.
void ServeClient(int client_fd, platform::SerialDevice& line, const std::atomic<bool>& stop);

// A listening TCP socket on `host` and `port` (0: any free port). On success returns the socket
// and sets `bound` to the address it listens on, as "HOST:PORT"; on failure returns -1 and says
// why in `error`.
int Listen(const std::string& host, std::uint16_t port, std::string& bound, std::string& error);

// Accepts clients on `listen_fd` one after another, each served with a new simulated world made
// from `options`, until `stop` is set. Prints one line per client to `log` when it is given.
void ServeClients(int listen_fd, const sim::SimOptions& options, const std::atomic<bool>& stop,
                  std::FILE* log);

}  // namespace vantor::drivesim
