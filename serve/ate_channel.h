// vantor-cli serve's command channel for test equipment (--ate-listen HOST:PORT): a TCP socket
// that takes one command a line and answers each with one line (ate_commands.h). Under the web
// side's rules: when serve has a token, a connection's first line must be "TOKEN x"; a line is
// at most 256 bytes, at most 4 connections at once, each closed after 10 minutes without a
// line. Each connection has a thread of its own, so a WAIT holds none of the web side's.
#pragma once

#include <memory>
#include <string>

#include "platform/result.h"
#include "serve/line_control.h"

namespace vantor::serve {

struct AteSettings {
    std::string host;
    int port = 0;
    std::string token;  // empty: none asked for
    bool require_unit_serial = false;
};

class AteChannel {
  public:
    AteChannel(const AteSettings& settings, LineControl& control);
    ~AteChannel();
    AteChannel(const AteChannel&) = delete;
    AteChannel& operator=(const AteChannel&) = delete;

    // Listens (port 0: one the system chooses); the reason when it cannot.
    Result<void> Bind();
    int Port() const;
    void Start();
    // Takes no more connections, ends those open, and returns once every thread has ended.
    void Stop();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace vantor::serve
