#include "serve/ate_channel.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <list>
#include <mutex>
#include <thread>

#include "platform/result.h"
#include "serve/ate_commands.h"
#include "serve/listen_socket.h"
#include "serve/run_api.h"

namespace vantor::serve {

namespace {

constexpr std::size_t kMostLineBytes = 256;
constexpr std::size_t kMostConnections = 4;
constexpr auto kMostIdle = std::chrono::minutes(10);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
// How often a waiting thread looks whether the channel is stopping.
constexpr int kTickMs = 200;

// Equal texts, in a time that does not depend on where they differ.
bool SameSecret(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    }
    return difference == 0;
}

// Sends a whole line; false when the client does not take it within the write timeout.
bool SendLine(int fd, const std::string& line) {
    const std::string text = line + "\r\n";
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
    while (sent < text.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watched{fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        const ssize_t count = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        sent += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    return true;
}

}  // namespace

struct AteChannel::Parts {
    Parts(const AteSettings& s, LineControl& c) : settings(s), control(c) {}

    struct Client {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> ended{false};
    };

    AteSettings settings;
    LineControl& control;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mutex;
    std::list<Client> clients;

    // The next line from the client, without its line end; when the connection is to end (gone,
    // stopping, idle too long), a failure whose reason is the answer to send first, if any.
    Result<std::string> NextLine(int fd, std::string& buffer) {
        const auto idle_until = std::chrono::steady_clock::now() + kMostIdle;
        for (;;) {
            if (const auto end = buffer.find('\n'); end != std::string::npos) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return line;
            }
            if (buffer.size() > kMostLineBytes) {
                return Failure{"ERR a line is at most 256 bytes"};
            }
            if (stopping || std::chrono::steady_clock::now() >= idle_until) {
                return Failure{stopping ? "BYE the server is ending" : "BYE idle for 10 minutes"};
            }
            pollfd watched{fd, POLLIN, 0};
            if (::poll(&watched, 1, kTickMs) != 1) {
                continue;
            }
            char bytes[512];
            const ssize_t count = ::recv(fd, bytes, sizeof bytes, 0);
            if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) {
                return Failure{};
            }
            buffer.append(bytes, count > 0 ? static_cast<std::size_t>(count) : 0);
        }
    }

    // One connection, until it ends: its token first when one is asked for, then commands.
    void Converse(int fd) {
        std::string buffer;
        if (!settings.token.empty()) {
            const Result<std::string> first = NextLine(fd, buffer);
            const std::string prefix = "TOKEN ";
            if (!first || first->rfind(prefix, 0) != 0 ||
                !SameSecret(first->substr(prefix.size()), settings.token)) {
                SendLine(fd, first || first.reason().empty()
                                 ? "ERR this channel needs TOKEN x as its first line"
                                 : first.reason());
                return;
            }
            if (!SendLine(fd, "OK")) {
                return;
            }
        }
        for (;;) {
            const Result<std::string> line = NextLine(fd, buffer);
            if (!line) {
                if (!line.reason().empty()) {
                    SendLine(fd, line.reason());
                }
                return;
            }
            const AteAnswer answer = AnswerAteCommand(control, *line, settings.require_unit_serial,
                                                      kMostRunWaiters + kMostConnections);
            if (!SendLine(fd, answer.line) || answer.close) {
                return;
            }
        }
    }

    // Joins the threads of connections that have ended; how many are still open.
    std::size_t Reap() {
        std::lock_guard lock(mutex);
        for (auto client = clients.begin(); client != clients.end();) {
            if (client->ended) {
                client->thread.join();
                ::close(client->fd);
                client = clients.erase(client);
            } else {
                ++client;
            }
        }
        return clients.size();
    }

    void Take(int fd) {
        if (Reap() >= kMostConnections) {
            SendLine(fd, "ERR too many connections (at most 4); try again");
            ::close(fd);
            return;
        }
        std::lock_guard lock(mutex);
        Client& client = clients.emplace_back();
        client.fd = fd;
        client.thread = std::thread([this, &client] {
            Converse(client.fd);
            ::shutdown(client.fd, SHUT_RDWR);
            client.ended = true;
        });
    }

    void Accept() {
        while (!stopping) {
            pollfd watched{listener, POLLIN, 0};
            if (::poll(&watched, 1, kTickMs) != 1) {
                Reap();
                continue;
            }
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                Take(fd);
            }
        }
    }
};

AteChannel::AteChannel(const AteSettings& settings, LineControl& control)
    : parts_(std::make_unique<Parts>(settings, control)) {}

AteChannel::~AteChannel() {
    Stop();
    if (parts_->listener >= 0) {
        ::close(parts_->listener);
    }
}

Result<void> AteChannel::Bind() {
    const auto listening = ListenOn(parts_->settings.host, parts_->settings.port, 16);
    if (!listening) {
        return Failure{listening.reason()};
    }
    parts_->listener = *listening;
    return {};
}

int AteChannel::Port() const {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(parts_->listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void AteChannel::Start() {
    parts_->acceptor = std::thread([this] { parts_->Accept(); });
}

void AteChannel::Stop() {
    parts_->stopping = true;
    if (parts_->acceptor.joinable()) {
        parts_->acceptor.join();
    }
    std::lock_guard lock(parts_->mutex);
    for (auto& client : parts_->clients) {
        client.thread.join();
        ::close(client.fd);
    }
    parts_->clients.clear();
}

}  // namespace vantor::serve
