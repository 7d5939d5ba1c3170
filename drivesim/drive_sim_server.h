// The simulated drive behind a network serial port (RFC 2217): each client is served with the
// project's server code (platform/serial/rfc2217_server.h) in front of the host side of a
// simulated line of its own, so that the simulated drive can be reached like a drive behind a
// serial device server.
#pragma once

#include <atomic>
#include <cstdio>

#include "sim/sim_world.h"

namespace vantor::drivesim {

// What the server answers a client's SIGNATURE with.
inline constexpr char kSignature[] = "vantor-drive-sim";

// Accepts clients on `listen_fd` one after another, each served with a new simulated world made
// from `options`, until `stop` is set. Prints one line per client to `log` when it is given.
void ServeClients(int listen_fd, const sim::SimOptions& options, const std::atomic<bool>& stop,
                  std::FILE* log);

}  // namespace vantor::drivesim
