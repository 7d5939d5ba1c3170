#include "serve/tls_layer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantor::serve {

namespace {

// OpenSSL's reason for the latest failure of this thread, and its queue emptied for the next.
std::string OpenSslReason() {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "not understood";
}

// Checks that `path` can be opened as a file of TLS material; why not when it cannot.
Result<void> CheckReadable(const char* option, const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return Failure{std::string(option) + " \"" + path + "\": " + std::strerror(errno)};
    }
    if (!S_ISREG(status.st_mode)) {
        return Failure{std::string(option) + " \"" + path + "\": not a regular file"};
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return Failure{std::string(option) + " \"" + path + "\": " + std::strerror(errno)};
    }
    std::fclose(file);
    return {};
}

// An encrypted key must fail to load, not stop the server to ask for its passphrase.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

}  // namespace

TlsContext::~TlsContext() {
    SSL_CTX_free(context_);
}

Result<std::shared_ptr<const TlsContext>> TlsContext::Load(const std::string& certificate_path,
                                                           const std::string& key_path) {
    if (Result<void> readable = CheckReadable("--tls-cert", certificate_path); !readable) {
        return Failure{readable.reason()};
    }
    if (Result<void> readable = CheckReadable("--tls-key", key_path); !readable) {
        return Failure{readable.reason()};
    }
    struct stat key_status {};
    if (::stat(key_path.c_str(), &key_status) == 0 && (key_status.st_mode & S_IROTH) != 0) {
        return Failure{
            "--tls-key \"" + key_path +
            "\": readable by every user of this machine; make it the owner's (chmod 600)"};
    }
    ERR_clear_error();
    std::shared_ptr<TlsContext> made(new TlsContext(SSL_CTX_new(TLS_server_method())));
    SSL_CTX* ssl = made->context_;
    if (ssl == nullptr) {
        return Failure{"TLS cannot be set up: " + OpenSslReason()};
    }
    SSL_CTX_set_min_proto_version(ssl, TLS1_2_VERSION);
    SSL_CTX_set_options(ssl, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // A write may take part of what it is given, as a socket's does; the threads that answer
    // write the rest.
    SSL_CTX_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_passwd_cb(ssl, &NoPassphrase);
    if (SSL_CTX_use_certificate_chain_file(ssl, certificate_path.c_str()) != 1) {
        return Failure{"--tls-cert \"" + certificate_path + "\": not a certificate in PEM form (" +
                       OpenSslReason() + ")"};
    }
    if (SSL_CTX_use_PrivateKey_file(ssl, key_path.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ssl) != 1) {
        return Failure{"--tls-key \"" + key_path + "\": not the private key of \"" +
                       certificate_path + "\" in PEM form without a passphrase (" +
                       OpenSslReason() + ")"};
    }
    return std::shared_ptr<const TlsContext>(std::move(made));
}

std::unique_ptr<TlsSession> TlsSession::Accept(const TlsContext& context, int fd) {
    SSL* session = SSL_new(context.context_);
    if (session == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    std::unique_ptr<TlsSession> made(new TlsSession(session));
    if (SSL_set_fd(session, fd) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_accept_state(session);
    return made;
}

TlsSession::~TlsSession() {
    SSL_free(session_);
}

ssize_t TlsSession::Failed(int error) {
    // OpenSSL's error queue is the thread's, and each connection moves between threads.
    ERR_clear_error();
    wants_to_write_ = error == SSL_ERROR_WANT_WRITE;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
        return 0;  // the client said goodbye
    }
    // A failed handshake (a plain HTTP client, say), a broken record or a reset: the
    // connection is of no more use.
    errno = ECONNRESET;
    return -1;
}

ssize_t TlsSession::Receive(char* bytes, std::size_t size) {
    ERR_clear_error();
    std::size_t got = 0;
    if (SSL_read_ex(session_, bytes, size, &got) == 1) {
        wants_to_write_ = false;
        return static_cast<ssize_t>(got);
    }
    return Failed(SSL_get_error(session_, 0));
}

ssize_t TlsSession::Send(const char* bytes, std::size_t size) {
    ERR_clear_error();
    std::size_t sent = 0;
    if (SSL_write_ex(session_, bytes, size, &sent) == 1) {
        wants_to_write_ = false;
        return static_cast<ssize_t>(sent);
    }
    return Failed(SSL_get_error(session_, 0));
}

void TlsSession::Close() {
    if (SSL_is_init_finished(session_) == 1) {
        ERR_clear_error();
        (void)SSL_shutdown(session_);
        ERR_clear_error();
    }
}

}  // namespace vantor::serve
