// The TCP calls of the network serial port client, one file per system: BSD sockets, or
// Winsock 2. A socket is an int, as a descriptor is, so that the shared receive side
// (buffered_serial_device.h) holds either; -1 is none. Every call that fails sets errno to a
// POSIX value (EAGAIN for nothing to move now, EINTR, or a value for a lost connection), so
// that the protocol code reads one set of errors on both systems.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::platform::net {

// One address of a host, as the system's lookup gave it (a sockaddr, copied).
struct SocketAddress {
    int family = 0;
    int type = 0;
    int protocol = 0;
    std::vector<std::uint8_t> bytes;
};

// The addresses of a host, or why none was found.
struct LookedUp {
    std::vector<SocketAddress> addresses;
    std::string error;  // empty when some were found
};
// The addresses of `host` and the numeric `port`; with `numeric_only`, only a host given as
// an IP address is looked up, at once, and a name is left unfound. Blocks for as long as the
// system's resolver takes: the caller bounds the wait.
LookedUp LookUp(const std::string& host, const std::string& port, bool numeric_only);

// A connected socket, or why there is none.
struct Connected {
    int socket = -1;
    std::string error;  // why socket is -1
};
// A non-blocking TCP connection to `address`, awaited until `deadline_ns` on the process
// clock (`budget_ms` names that bound in the message).
Connected Connect(const SocketAddress& address, std::int64_t deadline_ns, int budget_ms);

// Sends what can go at once, without a signal for a closed connection: the count, or -1.
ssize_t SendSome(int socket, const std::uint8_t* bytes, std::size_t count);
// Takes what has arrived: the count, 0 for a connection the far end closed, or -1 (errno
// EAGAIN for nothing there yet).
ssize_t ReceiveSome(int socket, std::uint8_t* into, std::size_t room);
// Waits up to `ms` milliseconds on the process clock for bytes to arrive (or the connection to
// end), sending the output held on this thread first as every wait does. True when the wait
// watched the socket, so that it ended as they arrived or with nothing there; false when it only
// slept, as it does on a virtual clock, whose time a socket does not follow.
bool AwaitData(int socket, int ms);
// Small segments go at once, without waiting for company.
void SetNoDelay(int socket);
// Tells the far end that nothing more will come.
void ShutdownSending(int socket);
bool Close(int socket);

}  // namespace vantor::platform::net
