// The server side of a network serial port (RFC 2217) in front of a serial device: the simulated
// drive's line in vantor-drive-sim, a serial device of this machine in vantor-port-server.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/serial/serial_device.h"

namespace vantor::platform::rfc2217_server {

// How often the line is looked at: the link polls every millisecond, and so does the server.
inline constexpr int kPollIntervalMs = 1;
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

// Serves one connected client over `line` until the client leaves, is dropped, the line is lost
// or `stop` is set: the client's data goes out on the line at line rate and the line's data back
// to the client; the client's serial port control commands act on the line and are answered
// with the state they leave (a query with the state as it is; a flow control the server does
// not do with the one it keeps); a received break is reported once, as line state with the
// break bit when it begins and without it when it ends, once the client has asked for line
// state; the modem status lines are reported on connection, when they change and when asked.
// Nothing waits on the client: sends do not block. `signature` answers SIGNATURE. Does not
// close `client_fd`. Returns how the client went ("left", or "dropped: " and why).
std::string ServeClient(int client_fd, SerialDevice& line, const std::atomic<bool>& stop,
                        const std::string& signature);

// A listening TCP socket on `host` and `port` (0: any free port). On success returns the socket
// and sets `bound` to the address it listens on, as "HOST:PORT"; on failure returns -1 and says
// why in `error`.
int Listen(const std::string& host, std::uint16_t port, std::string& bound, std::string& error);

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
