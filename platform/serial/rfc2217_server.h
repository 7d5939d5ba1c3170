// The server side of a network serial port (RFC 2217) in front of a serial device: the simulated
// drive's line in vantor-drive-sim, a serial device of this machine in vantor-port-server.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.h"
#include "platform/serial/serial_device.h"

namespace vantor::platform::rfc2217_server {

// How often the line is looked at while a dialogue is under way (bytes wait for the line or for
// the client, data moved within kBusyHoldMs, a break lasts): the link polls every millisecond,
// and so does the server. Otherwise the server waits kIdlePollMs at a time, woken at once when
// the client sends or, on a device with a descriptor, when the line receives.
inline constexpr int kBusyPollMs = 1;
inline constexpr int kBusyHoldMs = 1000;
inline constexpr int kIdlePollMs = 20;
// How often the modem status lines are looked at for changes to report.
inline constexpr int kModemPollMs = 20;

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
// A client that has shut its side has what it sent go on to the line for at most this long;
// what has not gone by then is dropped and the port freed.
inline constexpr int kShutDrainMs = 5000;
// Clients that may wait to be accepted while one is served.
inline constexpr int kListenBacklog = 16;

// How long a client whose network has vanished (no FIN, no reset) keeps the port: keepalive
// probes begin after `idle_s` without traffic and follow every `interval_s`; a client that
// answers none of `probes` of them, or leaves data unacknowledged for as long, is gone. The
// defaults free the port within 25 s.
struct KeepAlive {
    int idle_s = 10;
    int interval_s = 5;
    int probes = 3;
    constexpr int UnacknowledgedMs() const { return (idle_s + interval_s * probes) * 1000; }
};

// Serves one connected client over `line` until the client leaves, is dropped, the line is lost
// or `stop` is set: the client's data goes out on the line at line rate and the line's data back
// to the client; the client's serial port control commands act on the line and are answered
// with the state they leave (a query with the state as it is; a flow control the server does
// not do with the one it keeps); a received break is reported once, as line state with the
// break bit when it begins and without it when it ends, once the client has asked for line
// state; the modem status lines are reported on connection, when they change and when asked.
// Nothing waits on the client: sends do not block. A client whose network vanishes is noticed
// through `keepalive`. A client that shuts its side (or closes) has what it sent go on to the
// line for at most kShutDrainMs. `signature` answers SIGNATURE. Does not close `client_fd`.
// Returns how the client went ("left", or "dropped: " and why).
std::string ServeClient(int client_fd, SerialDevice& line, const std::atomic<bool>& stop,
                        const std::string& signature, const KeepAlive& keepalive = {});

// A listening TCP socket and the address it listens on, as "HOST:PORT".
struct ListeningSocket {
    int fd = -1;
    std::string bound;
};

// A listening TCP socket on `host` and `port` (0: any free port), or why there is none.
Result<ListeningSocket> Listen(const std::string& host, std::uint16_t port);

// The TCP port number that `text` gives (digits only, 0 to 65535); nothing for any other text.
std::optional<std::uint16_t> ParseTcpPort(const std::string& text);

// Waits at most `wait_ms` for a client of `listen_fd` and accepts it: returns its socket, with
// its address in `peer` and as text (see Describe) in `who`; -1 when none came.
int AcceptClient(int listen_fd, int wait_ms, sockaddr_storage& peer, std::string& who);

// An address as "HOST:PORT", IPv6 hosts in brackets; "?" when it cannot be told.
std::string Describe(const sockaddr* address, socklen_t length);

// Sends `text` to a client without waiting for it, as far as the connection takes it at once.
void SendText(int client_fd, const std::string& text);

}  // namespace vantor::platform::rfc2217_server
