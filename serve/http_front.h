// The HTTP side of vantor-cli serve, on cpp-httplib: the dashboard's files, the API, the live
// stream, and the rules that keep it safe: the token, the Host and Origin checks, and bounds on
// requests, connections, threads and stream clients.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/result.h"
#include "serve/event_hub.h"
#include "serve/line_control.h"
#include "serve/tls_layer.h"

namespace vantor::serve {

struct HttpFrontSettings {
    std::string host;
    int port = 0;
    bool loopback = true;
    std::string token;    // empty: none asked for
    std::string history;  // the history /api/history reads
    // HTTPS with this certificate and key; null: plain HTTP.
    std::shared_ptr<const TlsContext> tls;
    // The origins ("https://line-pc") under which a proxy presents this server: their pages
    // may start and stop stations and read the live stream, and their hosts name this server.
    std::vector<std::string> public_origins;
    bool no_history = false;           // the stations record nothing: no history to show
    bool require_unit_serial = false;  // a station starts only for a unit serial
};

class HttpFront {
  public:
    HttpFront(const HttpFrontSettings& settings, LineControl& control, EventHub& events);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Binds the address (port 0: one the system chooses); the reason when it cannot.
    Result<void> Bind();
    // The port it listens on, once bound.
    int Port() const;
    // Serves on a thread of its own until Stop().
    void Start();
    // Stops taking connections and ends those open; returns once every thread has ended.
    void Stop();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// What a request's Host header may say to name a server listening at `host` and `port`, on
// HTTPS when `tls` (without a token, any other is refused): its loopback names and its
// address, with the port and, on the scheme's own port, without it; and the hosts of the
// origins a proxy presents it under.
std::vector<std::string> OwnHosts(const std::string& host, int port, bool tls,
                                  const std::vector<std::string>& public_origins);

}  // namespace vantor::serve
