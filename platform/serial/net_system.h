// What the network serial port client's shared files take from each system's file: the system's
// resolver header, its socket library made ready, and its words for a failed lookup. Only the
// headers differ here; each system's calls are in net_socket_posix.cpp and
// win/net_socket_win.cpp.
#pragma once

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <netdb.h>
#endif

#include <string>

namespace vantor::platform::net {

// Makes the system's sockets ready for use (Winsock is started once, for the process); why they
// cannot be, empty when they are ready.
std::string SocketsProblem();
// The system's words for a getaddrinfo failure.
std::string LookupFailureText(int failure);

}  // namespace vantor::platform::net
