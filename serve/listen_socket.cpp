#include "serve/listen_socket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantor::serve {

Result<int> ListenOn(const std::string& host, int port, int backlog) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        return Failure{"cannot listen on " + host + " port " + service + " (not an address)"};
    }
    int listener = -1;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int yes = 1;
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
            ::bind(fd, address->ai_addr, address->ai_addrlen) == 0 && ::listen(fd, backlog) == 0) {
            listener = fd;
            break;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (listener < 0) {
        return Failure{"cannot listen on " + host + " port " + service +
                       " (in use, or not an address of this machine)"};
    }
    return listener;
}

}  // namespace vantor::serve
