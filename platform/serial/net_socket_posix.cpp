#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/serial/net_socket.h"
#include "platform/serial/net_system.h"

namespace vantor::platform::net {

namespace {

// Waits on the process clock until a non-blocking connect has ended or the deadline passed.
Result<void> AwaitConnected(int fd, std::int64_t deadline_ns, int budget_ms) {
    while (true) {
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, 0) > 0) {
            int failure = 0;
            socklen_t length = sizeof(failure);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
                failure = errno;
            }
            if (failure != 0) {
                return Failure{std::strerror(failure)};
            }
            return {};
        }
        if (NowNs() >= deadline_ns) {
            return Failure{"no answer within " + std::to_string(budget_ms) + " ms"};
        }
        Sleep(1);
    }
}

}  // namespace

std::string SocketsProblem() {
    return "";
}

std::string LookupFailureText(int failure) {
    return ::gai_strerror(failure);
}

Connected Connect(const SocketAddress& address, std::int64_t deadline_ns, int budget_ms) {
    Connected connected;
    const int fd =
        ::socket(address.family, address.type | SOCK_NONBLOCK | SOCK_CLOEXEC, address.protocol);
    if (fd < 0) {
        connected.error = std::strerror(errno);
        return connected;
    }
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
    const auto length = static_cast<socklen_t>(address.bytes.size());
    Result<void> done;
    if (::connect(fd, target, length) != 0) {
        done = errno == EINPROGRESS ? AwaitConnected(fd, deadline_ns, budget_ms)
                                    : Result<void>(Failure{std::strerror(errno)});
    }
    if (!done) {
        connected.error = done.reason();
        ::close(fd);
        return connected;
    }
    connected.socket = fd;
    return connected;
}

ssize_t SendSome(int socket, const std::uint8_t* bytes, std::size_t count) {
    return ::send(socket, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t ReceiveSome(int socket, std::uint8_t* into, std::size_t room) {
    return ::recv(socket, into, room, MSG_DONTWAIT);
}

bool AwaitData(int socket, int ms) {
    if (!ProcessClock().IsReal()) {
        Sleep(ms);
        return false;
    }
    ReleaseHeldOutput();
    // An interrupted wait ends early; the caller looks and waits again within its own bound.
    pollfd entry{socket, POLLIN, 0};
    ::poll(&entry, 1, ms);
    return true;
}

void SetNoDelay(int socket) {
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

void ShutdownSending(int socket) {
    ::shutdown(socket, SHUT_WR);
}

bool Close(int socket) {
    return ::close(socket) == 0;
}

}  // namespace vantor::platform::net
