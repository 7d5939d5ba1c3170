// The server side of a network serial port (RFC 2217) in front of a serial device: here the host
// side of a simulated line, so that the simulated drive can be reached like a drive behind a
// serial device server.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/serial/serial_device.h"
#include "sim/sim_world.h"

namespace vantor::drivesim {

// How often the line is looked at: the link polls every millisecond, and so does the server.
inline constexpr int kPollIntervalMs = 1;

// What one client may cost the server, whatever it sends or fails to take.
// Line speeds the server accepts; SET-BAUDRATE outside them is answered with the speed that stays.
inline constexpr std::uint32_t kMinBaudRate = 50;
inline constexpr std::uint32_t kMaxBaudRate = 921600;
// The client's data waiting for the line: beyond it the server reads nothing more from the
// client until the line has taken some.
inline constexpr std::size_t kMaxLineQueueBytes = 4096;
// What may wait to go to a client that does not read; beyond it the client is dropped.
inline constexpr std::size_t kMaxOutgoingBytes = 64 * 1024;
// A client that takes none of what waits for it for this long is dropped.
inline constexpr int kStalledClientMs = 5000;

// Serves one connected client over `line` until the client leaves, is dropped or `stop` is set:
// the client's data goes out on the line at line rate and the line's data back to the client,
// the client's serial port control commands act on the line, and breaks received on the line
// are reported as line state once the client has asked for them. Nothing waits on the client:
// sends do not block. Does not close `client_fd`. Returns how the client went ("left", or
// "dropped: " and why).
std::string ServeClient(int client_fd, platform::SerialDevice& line, const std::atomic<bool>& stop);

// A listening TCP socket on `host` and `port` (0: any free port). On success returns the socket
// and sets `bound` to the address it listens on, as "HOST:PORT"; on failure returns -1 and says
// why in `error`.
int Listen(const std::string& host, std::uint16_t port, std::string& bound, std::string& error);

// Accepts clients on `listen_fd` one after another, each served with a new simulated world made
// from `options`, until `stop` is set. Prints one line per client to `log` when it is given.
void ServeClients(int listen_fd, const sim::SimOptions& options, const std::atomic<bool>& stop,
                  std::FILE* log);

}  // namespace vantor::drivesim
