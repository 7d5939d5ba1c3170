// The door of vantor-cli serve's HTTP side: it takes the connections and waits, all of them in
// one thread, until a connection's whole request (its head and its short body) has arrived,
// within a deadline that runs from the first byte it waited for, not from the last. Only a whole
// request is handed to the threads that answer, so a client that sends a byte a second, or
// nothing at all, holds a place at the door for at most the deadline and never a thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/result.h"
#include "serve/tls_layer.h"

namespace vantor::serve {

// A client's connection, with what it sent and the door has read.
struct Connection {
    Connection(int socket, std::string peer_address) : fd(socket), peer(std::move(peer_address)) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // As recv() and send() on the non-blocking socket, through TLS when it has a session.
    ssize_t Receive(char* bytes, std::size_t size);
    ssize_t Send(const char* bytes, std::size_t size);
    // What to wait for, after a Receive() or a Send() that said EAGAIN: POLLIN or POLLOUT.
    short Awaits(short plain) const;

    int fd;
    std::unique_ptr<TlsSession> tls;  // null on plain HTTP
    std::string peer;                 // the client's address, without its port
    std::string buffer;               // read and not yet answered: a whole request first
    std::size_t request_length = 0;   // of the whole request at the buffer's front
    bool has_body = false;
    std::chrono::steady_clock::time_point deadline;
};

struct DoorSettings {
    // How long a connection may take to send a whole request, or stay idle between two.
    std::chrono::milliseconds deadline{5000};
    std::size_t most_head_bytes = 4096;
    std::size_t most_body_bytes = 4096;
    // Connections the door holds, in all and of one client; beyond that the one of that client
    // (or of any) that has waited longest is closed, so that a new one always gets in.
    std::size_t most_waiting = 256;
    std::size_t most_waiting_per_client = 64;
    // Requests handed over and not yet done; a whole request waits at the door beyond that.
    std::size_t most_busy = 24;
    // Speak TLS with every client, the handshake read at the door within the deadline.
    std::shared_ptr<const TlsContext> tls;
};

class Door {
  public:
    // `answer` takes a connection with a whole request at the front of its buffer; it gives
    // the connection back with Return() when it is kept open, and calls Done() either way.
    using Answer = std::function<void(std::unique_ptr<Connection>)>;

    Door(const DoorSettings& settings, Answer answer);
    ~Door();
    Door(const Door&) = delete;
    Door& operator=(const Door&) = delete;

    // Listens on `host` and `port`; the reason when it cannot.
    Result<void> Bind(const std::string& host, int port);
    int Listener() const;
    void Start();
    // Closes the door and every connection waiting at it; returns once its thread has ended.
    void Stop();

    // A connection whose request has been answered, to wait for its next one.
    void Return(std::unique_ptr<Connection> connection);
    // One request handed over is done.
    void Done();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// What a whole request at the front of `bytes` is: its length with its body, whether it has a
// body, and (for a POST without one) the head with `Content-Length: 0` added, so that the
// request is not read to the end of the connection. An HTTP status and reason when the request
// is to be refused at the door; a length of 0 when more bytes are needed.
struct DoorVerdict {
    std::size_t length = 0;
    int refuse_status = 0;
    std::string reason;
};
DoorVerdict JudgeRequest(std::string& bytes, const DoorSettings& settings, bool& has_body);

}  // namespace vantor::serve
