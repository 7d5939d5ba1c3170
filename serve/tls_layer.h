// vantor-cli serve's TLS, on OpenSSL: the server's certificate and key, loaded and checked
// before anything listens, and each connection's session. A session reads and writes as a
// non-blocking socket does (a count, 0 at the end, -1 with errno EAGAIN when it must wait), so
// the door reads a TLS client's handshake and request under the same deadline and bounds as a
// plain one's, and the threads that answer write to either alike.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/result.h"

// OpenSSL's own types, named without its headers.
struct ssl_ctx_st;
struct ssl_st;

namespace vantor::serve {

class TlsContext {
  public:
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // The certificate chain (PEM, the server's own first) and its private key (PEM, not
    // encrypted), loaded; the message when they cannot be read or do not belong together.
    static Result<std::shared_ptr<const TlsContext>> Load(const std::string& certificate_path,
                                                          const std::string& key_path);

  private:
    friend class TlsSession;
    explicit TlsContext(ssl_ctx_st* context) : context_(context) {}
    ssl_ctx_st* context_;
};

class TlsSession {
  public:
    // A server's session on the connected, non-blocking socket `fd` (which it does not own);
    // null when OpenSSL has no room for one.
    static std::unique_ptr<TlsSession> Accept(const TlsContext& context, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As recv() and send() on a non-blocking socket; the handshake goes first, within them.
    ssize_t Receive(char* bytes, std::size_t size);
    ssize_t Send(const char* bytes, std::size_t size);
    // After EAGAIN: whether the session waits for the socket to take bytes rather than for
    // bytes to come.
    bool WantsToWrite() const { return wants_to_write_; }
    // Says goodbye as TLS does (close_notify), without waiting for the client's.
    void Close();

  private:
    explicit TlsSession(ssl_st* session) : session_(session) {}
    ssize_t Failed(int error);
    ssl_st* session_;
    bool wants_to_write_ = false;
};

}  // namespace vantor::serve
