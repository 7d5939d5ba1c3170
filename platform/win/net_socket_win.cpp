// Winsock 2 for the network serial port client. A socket handle is a kernel handle, and Windows
// keeps those below 2^24 so that 32-bit and 64-bit processes can share them: it fits the int
// that the shared code holds. Winsock's errors are turned into errno values for that code.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/serial/net_socket.h"
#include "platform/serial/net_system.h"
#include "platform/serial/rfc2217_device.h"
#include "platform/win/system_message.h"

namespace vantor::platform::net {

// Winsock is started once for the process and left running until it ends.
std::string SocketsProblem() {
    static std::once_flag once;
    static int failure = 0;
    std::call_once(once, [] {
        WSADATA data{};
        failure = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (failure != 0) {
        return "Winsock did not start: " + SystemMessage(static_cast<unsigned long>(failure));
    }
    return "";
}

namespace {

SOCKET Handle(int socket) {
    return static_cast<SOCKET>(static_cast<unsigned int>(socket));
}

// Sets errno from the last Winsock error and returns -1.
ssize_t Failed() {
    switch (::WSAGetLastError()) {
        case WSAEWOULDBLOCK:
            errno = EAGAIN;
            break;
        case WSAEINTR:
            errno = EINTR;
            break;
        default:
            errno = ECONNRESET;  // the connection is of no further use
            break;
    }
    return -1;
}

int Length(std::size_t count) {
    return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

// Waits on the process clock until a non-blocking connect has ended or the deadline passed. A
// failed connect shows in the exception set, as Winsock reports it, with its error in SO_ERROR;
// connected is writable without one.
Result<void> AwaitConnected(SOCKET socket, std::int64_t deadline_ns, int budget_ms) {
    while (true) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        timeval none{0, 0};
        if (::select(0, nullptr, &writable, &failed, &none) > 0) {
            int failure = 0;
            int length = sizeof(failure);
            if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                             &length) != 0) {
                failure = ::WSAGetLastError();
            }
            if (failure == 0 && !FD_ISSET(socket, &writable)) {
                failure = WSAECONNREFUSED;
            }
            if (failure != 0) {
                return Failure{SystemMessage(static_cast<unsigned long>(failure))};
            }
            return {};
        }
        if (NowNs() >= deadline_ns) {
            return Failure{"no answer within " + std::to_string(budget_ms) + " ms"};
        }
        platform::Sleep(1);
    }
}

}  // namespace

std::string LookupFailureText(int failure) {
    return SystemMessage(static_cast<unsigned long>(failure));
}

Connected Connect(const SocketAddress& address, std::int64_t deadline_ns, int budget_ms) {
    Connected result;
    std::string& why = result.error;
    why = SocketsProblem();
    if (!why.empty()) {
        return result;
    }
    // Not inherited: a program this one starts must not hold the connection open.
    const SOCKET socket = ::WSASocketW(address.family, address.type, address.protocol, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        why = SystemMessage(static_cast<unsigned long>(::WSAGetLastError()));
        return result;
    }
    u_long non_blocking = 1;
    const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
    const int length = static_cast<int>(address.bytes.size());
    Result<void> connected;
    if (::ioctlsocket(socket, FIONBIO, &non_blocking) != 0) {
        connected = Failure{SystemMessage(static_cast<unsigned long>(::WSAGetLastError()))};
    } else if (::connect(socket, target, length) != 0) {
        const int failure = ::WSAGetLastError();
        connected = failure == WSAEWOULDBLOCK
                        ? AwaitConnected(socket, deadline_ns, budget_ms)
                        : Result<void>(Failure{SystemMessage(static_cast<unsigned long>(failure))});
    }
    // A handle past an int's range would break the shared code's descriptor; none is given out.
    if (connected && socket > static_cast<SOCKET>(INT_MAX)) {
        connected = Failure{"the system gave a socket handle out of range"};
    }
    if (!connected) {
        why = connected.reason();
        ::closesocket(socket);
        return result;
    }
    result.socket = static_cast<int>(socket);
    return result;
}

ssize_t SendSome(int socket, const std::uint8_t* bytes, std::size_t count) {
    const int sent = ::send(Handle(socket), reinterpret_cast<const char*>(bytes), Length(count), 0);
    return sent == SOCKET_ERROR ? Failed() : sent;
}

ssize_t ReceiveSome(int socket, std::uint8_t* into, std::size_t room) {
    const int got = ::recv(Handle(socket), reinterpret_cast<char*>(into), Length(room), 0);
    return got == SOCKET_ERROR ? Failed() : got;
}

// Windows' sleeps go in the system timer's steps (about 15.6 ms): the wait is on the socket,
// which ends it as bytes arrive.
bool AwaitData(int socket, int ms) {
    if (!ProcessClock().IsReal()) {
        platform::Sleep(ms);
        return false;
    }
    ReleaseHeldOutput();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Handle(socket), &readable);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    ::select(0, &readable, nullptr, nullptr, &limit);
    return true;
}

void SetNoDelay(int socket) {
    const BOOL on = TRUE;
    ::setsockopt(Handle(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof(on));
}

void ShutdownSending(int socket) {
    ::shutdown(Handle(socket), SD_SEND);
}

bool Close(int socket) {
    return ::closesocket(Handle(socket)) == 0;
}

}  // namespace vantor::platform::net

namespace vantor::platform {

bool NetworkSerialPortsAvailable() {
    return true;
}

}  // namespace vantor::platform
