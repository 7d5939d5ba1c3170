#include "serve/http_door.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "records/json_writer.h"
#include "serve/listen_socket.h"

namespace vantor::serve {

namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

const char* StatusWords(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Service Unavailable";
    }
}

// Says `status` and why, as well as a connection that will be closed can, without waiting.
void Refuse(Connection& connection, int status, const std::string& reason) {
    const std::string body = records::JsonObject().String("error", reason).Text();
    const std::string text =
        "HTTP/1.1 " + std::to_string(status) + " " + StatusWords(status) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    (void)connection.Send(text.data(), text.size());
    if (connection.tls) {
        connection.tls->Close();
    }
    ::shutdown(connection.fd, SHUT_WR);
}

std::string PeerAddress(const sockaddr_storage& address) {
    char text[NI_MAXHOST] = "";
    ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, text, sizeof text,
                  nullptr, 0, NI_NUMERICHOST);
    return text;
}

// The length of a body that a head's headers announce, or a refusal.
DoorVerdict BodyOf(const std::string& head, const DoorSettings& settings,
                   std::optional<std::size_t>& length) {
    std::size_t start = head.find("\r\n") + 2;
    while (start < head.size()) {
        const std::size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end - start);
        start = end + 2;
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = Lower(Trimmed(line.substr(0, colon)));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name == "transfer-encoding") {
            return {0, 411, "a request body needs a Content-Length"};
        }
        if (name != "content-length") {
            continue;
        }
        if (length || value.empty() || value.size() > 9 ||
            value.find_first_not_of("0123456789") != std::string::npos) {
            return {0, 400, "one Content-Length, a number, is needed"};
        }
        length = std::stoul(value);
        if (*length > settings.most_body_bytes) {
            return {
                0, 413,
                "a request body is at most " + std::to_string(settings.most_body_bytes) + " bytes"};
        }
    }
    return {};
}

}  // namespace

Connection::~Connection() {
    tls.reset();
    if (fd >= 0) {
        ::close(fd);
    }
}

ssize_t Connection::Receive(char* bytes, std::size_t size) {
    return tls ? tls->Receive(bytes, size) : ::recv(fd, bytes, size, 0);
}

ssize_t Connection::Send(const char* bytes, std::size_t size) {
    return tls ? tls->Send(bytes, size) : ::send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

short Connection::Awaits(short plain) const {
    if (!tls) {
        return plain;
    }
    return tls->WantsToWrite() ? POLLOUT : POLLIN;
}

DoorVerdict JudgeRequest(std::string& bytes, const DoorSettings& settings, bool& has_body) {
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos || end + 4 > settings.most_head_bytes) {
        if (end != std::string::npos || bytes.size() > settings.most_head_bytes) {
            return {0, 431,
                    "a request's head is at most " + std::to_string(settings.most_head_bytes) +
                        " bytes"};
        }
        return {};
    }
    std::optional<std::size_t> body;
    DoorVerdict verdict = BodyOf(bytes.substr(0, end + 2), settings, body);
    if (verdict.refuse_status != 0) {
        return verdict;
    }
    std::size_t head = end + 4;
    if (!body) {
        // A request without Content-Length has no body; the HTTP library would read one to the
        // end of the connection.
        const std::string method = bytes.substr(0, bytes.find(' '));
        if (method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE") {
            bytes.insert(end + 2, "Content-Length: 0\r\n");
            head += std::strlen("Content-Length: 0\r\n");
        }
        body = 0;
    }
    if (bytes.size() < head + *body) {
        return {};
    }
    has_body = *body > 0;
    return {head + *body, 0, ""};
}

struct Door::Parts {
    Parts(const DoorSettings& s, Answer a) : settings(s), answer(std::move(a)) {}

    DoorSettings settings;
    Answer answer;
    int listener = -1;
    int wake[2] = {-1, -1};
    std::thread thread;

    std::mutex mutex;  // guards what other threads hand the door
    std::vector<std::unique_ptr<Connection>> returned;
    std::size_t busy = 0;
    bool stopping = false;

    // The door's thread's own.
    std::vector<std::unique_ptr<Connection>> waiting;
    std::deque<std::unique_ptr<Connection>> whole;

    void Wake() const { (void)!::write(wake[1], "x", 1); }

    std::size_t WaitingOf(const std::string& peer) const {
        std::size_t count = 0;
        for (const auto& connection : waiting) {
            count += connection->peer == peer ? 1 : 0;
        }
        for (const auto& connection : whole) {
            count += connection->peer == peer ? 1 : 0;
        }
        return count;
    }

    // Closes the connection of `peer` (of anyone when empty) that has waited longest for its
    // request; false when there is none.
    bool CloseOldest(const std::string& peer) {
        auto oldest = waiting.end();
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            if ((peer.empty() || (*it)->peer == peer) &&
                (oldest == waiting.end() || (*it)->deadline < (*oldest)->deadline)) {
                oldest = it;
            }
        }
        if (oldest == waiting.end()) {
            return false;
        }
        Refuse(**oldest, 503, "too many connections wait for their request");
        waiting.erase(oldest);
        return true;
    }

    void Admit(std::unique_ptr<Connection> connection) {
        if (WaitingOf(connection->peer) >= settings.most_waiting_per_client &&
            !CloseOldest(connection->peer)) {
            return;
        }
        if (waiting.size() + whole.size() >= settings.most_waiting && !CloseOldest("")) {
            return;
        }
        if (settings.tls) {
            connection->tls = TlsSession::Accept(*settings.tls, connection->fd);
            if (!connection->tls) {
                return;  // no room for its session: closed, as when the system has none
            }
        }
        connection->deadline = Clock::now() + settings.deadline;
        Judge(std::move(connection));
    }

    // Moves a connection whose request is whole on, refuses a bad one, keeps one still sending.
    void Judge(std::unique_ptr<Connection> connection) {
        const DoorVerdict verdict =
            JudgeRequest(connection->buffer, settings, connection->has_body);
        if (verdict.refuse_status != 0) {
            Refuse(*connection, verdict.refuse_status, verdict.reason);
        } else if (verdict.length != 0) {
            connection->request_length = verdict.length;
            whole.push_back(std::move(connection));
        } else {
            waiting.push_back(std::move(connection));
        }
    }

    void AcceptAll() {
        for (;;) {
            sockaddr_storage address{};
            socklen_t size = sizeof address;
            const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &size,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;  // none left, or the system has no room: the rest wait in the backlog
            }
            // An answer goes out in a few writes (a TLS session's first ones after its
            // handshake): held back until the client acknowledges the previous one, each would
            // wait for its delayed acknowledgement, 40 ms.
            const int yes = 1;
            (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            Admit(std::make_unique<Connection>(fd, PeerAddress(address)));
        }
    }

    // Reads what `connection` sent; false when it is to be closed.
    static bool ReadFrom(Connection& connection, std::size_t most) {
        char chunk[4096];
        for (;;) {
            const ssize_t got = connection.Receive(chunk, sizeof chunk);
            if (got > 0) {
                connection.buffer.append(chunk, static_cast<std::size_t>(got));
                if (connection.buffer.size() > most) {
                    return true;  // too much already: the judging refuses it
                }
                continue;
            }
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        }
    }

    void TakeReturned() {
        std::vector<std::unique_ptr<Connection>> back;
        {
            std::lock_guard lock(mutex);
            back.swap(returned);
        }
        for (auto& connection : back) {
            connection->deadline = Clock::now() + settings.deadline;
            Judge(std::move(connection));
        }
    }

    void HandOver() {
        while (!whole.empty()) {
            {
                std::lock_guard lock(mutex);
                if (busy >= settings.most_busy) {
                    return;
                }
                ++busy;
            }
            std::unique_ptr<Connection> connection = std::move(whole.front());
            whole.pop_front();
            answer(std::move(connection));
        }
    }

    void Turn();
    void Run() {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    return;
                }
            }
            TakeReturned();
            HandOver();
            Turn();
        }
    }
};

// One wait for something to happen at the door, and what follows from it.
void Door::Parts::Turn() {
    std::vector<pollfd> watched = {{wake[0], POLLIN, 0}, {listener, POLLIN, 0}};
    auto soonest = Clock::time_point::max();
    for (const auto& connection : waiting) {
        // A TLS handshake may wait for the socket to take its answer.
        watched.push_back({connection->fd, connection->Awaits(POLLIN), 0});
        soonest = std::min(soonest, connection->deadline);
    }
    int timeout_ms = -1;
    if (soonest != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(soonest - Clock::now());
        timeout_ms = static_cast<int>(std::max<long long>(0, left.count()));
    }
    ::poll(watched.data(), watched.size(), timeout_ms);
    if (watched[0].revents != 0) {
        char drained[64];
        while (::read(wake[0], drained, sizeof drained) > 0) {
        }
    }
    std::vector<std::unique_ptr<Connection>> still;
    std::vector<std::unique_ptr<Connection>> sent;
    const auto now = Clock::now();
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        auto& connection = waiting[i];
        if (watched[i + 2].revents != 0) {
            if (ReadFrom(*connection, settings.most_head_bytes + settings.most_body_bytes)) {
                sent.push_back(std::move(connection));
            }
        } else if (now >= connection->deadline) {
            Refuse(*connection, 408, "the request did not arrive whole in time");
        } else {
            still.push_back(std::move(connection));
        }
    }
    waiting = std::move(still);
    for (auto& connection : sent) {
        Judge(std::move(connection));
    }
    if (watched[1].revents != 0) {
        AcceptAll();
    }
}

Door::Door(const DoorSettings& settings, Answer answer)
    : parts_(std::make_unique<Parts>(settings, std::move(answer))) {
    if (::pipe2(parts_->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        parts_->wake[0] = parts_->wake[1] = -1;
    }
}

Door::~Door() {
    Stop();
    for (const int fd : {parts_->listener, parts_->wake[0], parts_->wake[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

Result<void> Door::Bind(const std::string& host, int port) {
    if (parts_->wake[0] < 0) {
        return Failure{"cannot listen on " + host + " port " + std::to_string(port) +
                       " (not an address)"};
    }
    const auto listening = ListenOn(host, port, 128);
    if (!listening) {
        return Failure{listening.reason()};
    }
    parts_->listener = *listening;
    return {};
}

int Door::Listener() const {
    return parts_->listener;
}

void Door::Start() {
    parts_->thread = std::thread([this] { parts_->Run(); });
}

void Door::Stop() {
    {
        std::lock_guard lock(parts_->mutex);
        parts_->stopping = true;
    }
    parts_->Wake();
    if (parts_->thread.joinable()) {
        parts_->thread.join();
    }
    parts_->waiting.clear();
    parts_->whole.clear();
    std::lock_guard lock(parts_->mutex);
    parts_->returned.clear();
}

void Door::Return(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(parts_->mutex);
        if (parts_->stopping) {
            return;
        }
        parts_->returned.push_back(std::move(connection));
    }
    parts_->Wake();
}

void Door::Done() {
    {
        std::lock_guard lock(parts_->mutex);
        --parts_->busy;
    }
    parts_->Wake();
}

}  // namespace vantor::serve
