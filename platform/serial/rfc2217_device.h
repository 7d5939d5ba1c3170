// A serial port on a serial device server, reached over the network by the telnet serial port
// control protocol (RFC 2217).
#pragma once

#include <memory>
#include <string>

#include "platform/result.h"
#include "platform/serial/serial_device.h"

namespace vantor::platform {

// How long opening may take in all: connecting, and the server agreeing to serial port control.
inline constexpr int kRfc2217OpenBudgetMs = 3000;

// Succeeds for a good "rfc2217://" address and for an address of another scheme; fails with
// what is wrong with an "rfc2217://" one (a missing or bad PORT, an empty HOST).
Result<void> CheckRfc2217Address(const std::string& address);

// Whether the build has a network serial port client; "rfc2217://" addresses are refused where
// it has none. Both the BSD sockets and the Winsock 2 builds have one.
bool NetworkSerialPortsAvailable();

// Opens "rfc2217://HOST:PORT" (HOST a name, an IPv4 address or an IPv6 address in brackets).
// The server's line state reports feed the break flag. Or says why it cannot be opened.
OpenedDevice OpenRfc2217Device(const std::string& address);

}  // namespace vantor::platform
