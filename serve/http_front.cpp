#include "serve/http_front.h"

#include <httplib.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

#include "platform/program_options.h"
#include "records/json_writer.h"
#include "serve/http_door.h"
#include "serve/run_api.h"
#include "serve/serve_history.h"
#include "serve/web_assets.h"

namespace vantor::serve {

using platform::ParseWhole;

namespace {

// Threads that answer whole requests; the door holds the rest (see http_door.h).
constexpr std::size_t kThreads = 24;
// A request's head, and its body, are at most this; both must arrive within the deadline.
constexpr std::size_t kMostRequestBytes = 4096;
constexpr auto kRequestDeadline = std::chrono::seconds(5);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
// How long a request to start or stop waits for the line's loop.
constexpr auto kLineAnswerBound = std::chrono::seconds(10);
// A comment on an idle stream, so that a client that has gone is noticed.
constexpr auto kStreamKeepAlive = std::chrono::seconds(10);
// A traffic log larger than this is cut to its last part.
constexpr std::uintmax_t kMostTrafficLogBytes = 64ull * 1024 * 1024;

// A whole request that the door has read, for the HTTP library to parse and answer; the
// answer goes to the connection, each write bounded by a timeout.
class RequestStream : public httplib::Stream {
  public:
    explicit RequestStream(Connection& connection) : connection_(connection) {}

    bool is_readable() const override { return read_ < connection_.request_length; }
    bool is_writable() const override { return Ready(POLLOUT); }
    ssize_t read(char* ptr, size_t size) override {
        const std::size_t count = std::min(size, connection_.request_length - read_);
        std::memcpy(ptr, connection_.buffer.data() + read_, count);
        read_ += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t write(const char* ptr, size_t size) override {
        short awaited = POLLOUT;
        for (;;) {
            if (!Ready(awaited)) {
                return -1;
            }
            const ssize_t sent = connection_.Send(ptr, size);
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                return sent;
            }
            // TLS may have to read before it can write on.
            awaited = connection_.Awaits(POLLOUT);
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = connection_.peer;
        port = 0;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return connection_.fd; }

  private:
    // Whether the socket is ready for `events` within the write timeout.
    bool Ready(short events) const {
        pollfd watched{connection_.fd, events, 0};
        const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kWriteTimeout);
        return ::poll(&watched, 1, static_cast<int>(timeout.count())) == 1 &&
               (watched.revents & events) != 0;
    }

    Connection& connection_;
    std::size_t read_ = 0;
};

// The HTTP library's routing and answering, for the requests the door hands over.
class Answering : public httplib::Server {
  public:
    // The library streams an answer for as long as it has a listening socket: the door's
    // stands for it, and ending it ends the streams.
    void Open(int listener) { svr_sock_ = listener; }
    void Close() { svr_sock_ = INVALID_SOCKET; }

    // Answers the request at the front of `connection`; false when the connection is to close.
    bool AnswerOne(Connection& connection) {
        RequestStream stream(connection);
        bool closed = false;
        const bool answered = Process(stream, connection.has_body, closed);
        connection.buffer.erase(0, connection.request_length);
        return answered && !closed && !connection.has_body;
    }

  private:
    // Debian 12's library (0.11) reads the peer's and its own address from the stream itself;
    // later releases (Debian 13's 0.18) are handed them.
    template <typename Stream>
    bool Process(Stream& stream, bool close, bool& closed) {
        if constexpr (requires { this->process_request(stream, close, closed, nullptr); }) {
            return this->process_request(stream, close, closed, nullptr);
        } else {
            std::string remote_ip;
            std::string local_ip;
            int remote_port = 0;
            int local_port = 0;
            stream.get_remote_ip_and_port(remote_ip, remote_port);
            stream.get_local_ip_and_port(local_ip, local_port);
            return this->process_request(stream, remote_ip, remote_port, local_ip, local_port,
                                         close, closed, nullptr);
        }
    }
};

// The methods a path of the API or the dashboard takes; empty for a path that is none of them.
std::string AllowedMethods(const std::string& path) {
    static const std::regex posts(R"(/api/(start|stop|stations/[0-9]+/(start|stop)))");
    static const std::regex gets(
        R"(/api/(stations|history|events|stations/[0-9]+(/traffic-log)?|runs/[^/]+)|/metrics|/[a-z.]*)");
    if (std::regex_match(path, posts)) {
        return "POST";
    }
    return std::regex_match(path, gets) ? "GET, HEAD" : "";
}

// Equal texts, in a time that does not depend on where they differ.
bool SameSecret(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    }
    return difference == 0;
}

void SetJson(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body, "application/json");
}

void SetError(httplib::Response& response, int status, const std::string& why) {
    SetJson(response, status, records::JsonObject().String("error", why).Text());
}

void SetAnswer(httplib::Response& response, const Answer& answer) {
    SetJson(response, answer.status, answer.body);
}

// The dashboard's own files, which hold nothing of the line and need no token.
bool IsDashboardFile(const std::string& path) {
    return FindWebAsset(path) != nullptr;
}

}  // namespace

struct HttpFront::Parts {
    Parts(const HttpFrontSettings& s, LineControl& c, EventHub& e)
        : settings(s),
          control(c),
          events(e),
          door(DoorSettings{kRequestDeadline, kMostRequestBytes, kMostRequestBytes, 256, 64,
                            kThreads, s.tls},
               [this](std::unique_ptr<Connection> connection) { Answer(std::move(connection)); }) {}

    using Verdict = httplib::Server::HandlerResponse;

    HttpFrontSettings settings;
    LineControl& control;
    EventHub& events;
    Answering server;
    Door door;
    std::unique_ptr<httplib::TaskQueue> pool;
    std::vector<std::string> own_hosts;  // what the Host header may say without a token

    void Answer(std::unique_ptr<Connection> connection) {
        Connection* handed = connection.release();
        pool->enqueue([this, handed] {
            std::unique_ptr<Connection> held(handed);
            if (server.AnswerOne(*held)) {
                door.Return(std::move(held));
            }
            door.Done();
        });
    }

    bool HostIsOurs(const std::string& host) const {
        return std::find(own_hosts.begin(), own_hosts.end(), host) != own_hosts.end();
    }

    // A request without an Origin is not a page's; a page's must be this server's own (its
    // scheme, and the host it was asked by) or one the proxy in front presents.
    bool OriginIsOurs(const httplib::Request& request) const {
        if (!request.has_header("Origin")) {
            return true;
        }
        const std::string origin = request.get_header_value("Origin");
        const std::string own =
            (settings.tls ? "https://" : "http://") + request.get_header_value("Host");
        const auto& presented = settings.public_origins;
        return origin == own ||
               std::find(presented.begin(), presented.end(), origin) != presented.end();
    }

    static Verdict Refuse(httplib::Response& response, int status, const std::string& why) {
        SetError(response, status, why);
        return Verdict::Handled;
    }

    Verdict Guard(const httplib::Request& request, httplib::Response& response) {
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:; connect-src 'self'; "
                            "frame-ancestors 'none'");
        for (const char* name : {"Host", "Origin", "Authorization"}) {
            if (request.get_header_value_count(name) > 1) {
                return Refuse(response, 400, std::string("a request has one ") + name + " header");
            }
        }
        if (settings.token.empty() && !HostIsOurs(request.get_header_value("Host"))) {
            // A name that resolves to this machine only for the moment (DNS rebinding) must
            // not reach a server that asks for no token.
            return Refuse(response, 403, "the Host header does not name this server");
        }
        if (!settings.token.empty() && !IsDashboardFile(request.path)) {
            const std::string given = request.get_header_value("Authorization");
            const std::string prefix = "Bearer ";
            if (given.rfind(prefix, 0) != 0 ||
                !SameSecret(given.substr(prefix.size()), settings.token)) {
                response.set_header("WWW-Authenticate", "Bearer realm=\"vantor\"");
                return Refuse(response, 401, "this server needs Authorization: Bearer TOKEN");
            }
        }
        const std::string allowed = AllowedMethods(request.path);
        if (allowed.empty()) {
            return Refuse(response, 404, "no such page");
        }
        if ((", " + allowed + ", ").find(", " + request.method + ", ") == std::string::npos) {
            response.set_header("Allow", allowed);
            return Refuse(response, 405, request.path + " takes " + allowed);
        }
        if (request.method == "POST" && !OriginIsOurs(request)) {
            return Refuse(response, 403, "a page of another site cannot start or stop stations");
        }
        return Verdict::Unhandled;
    }

    // The index of the station that the path names by its number (from 1, as everywhere).
    std::optional<std::size_t> StationIndex(const httplib::Request& request) const {
        const std::string text = request.matches[1];
        if (text.empty() || text.size() > 4) {
            return std::nullopt;
        }
        std::size_t number = 0;
        for (const char c : text) {
            number = number * 10 + static_cast<std::size_t>(c - '0');
        }
        if (number < 1 || number > control.Stations()) {
            return std::nullopt;
        }
        return number - 1;
    }

    void Routes() {
        server.Get("/api/stations", [this](const httplib::Request&, httplib::Response& response) {
            SetJson(response, 200, control.Snapshot().stations);
        });
        server.Post(
            "/api/start", [this](const httplib::Request& request, httplib::Response& response) {
                AnswerStart(control, std::nullopt, request, settings.require_unit_serial, response);
            });
        server.Post("/api/stop", [this](const httplib::Request&, httplib::Response& response) {
            SetAnswer(response,
                      control.Ask(LineRequest::Action::kStop, std::nullopt, kLineAnswerBound));
        });
        server.Post(
            R"(/api/stations/([0-9]+)/(start|stop))",
            [this](const httplib::Request& request, httplib::Response& response) {
                const auto number = StationIndex(request);
                if (!number) {
                    SetError(response, 404, "no such station");
                } else if (request.matches[2] == "start") {
                    AnswerStart(control, number, request, settings.require_unit_serial, response);
                } else {
                    SetAnswer(response,
                              control.Ask(LineRequest::Action::kStop, number, kLineAnswerBound));
                }
            });
        RunRoutes();
        server.Get(R"(/api/stations/([0-9]+)/traffic-log)",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       TrafficLog(request, response);
                   });
        server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            response.set_content(control.Snapshot().metrics, "text/plain; version=0.0.4");
        });
        server.Get("/api/history",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       History(request, response);
                   });
        server.Get("/api/events",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       Stream(request, response);
                   });
        server.Get(R"(/([a-z.]*))", &Page);
        server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty()) {
                SetError(response, response.status,
                         response.status == 404   ? "no such page"
                         : response.status == 400 ? "a malformed request"
                                                  : "the request was refused");
            }
        });
    }

    // One station, and the runs that starts began, for test equipment.
    void RunRoutes() {
        server.Get(R"(/api/stations/([0-9]+))",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       const auto number = StationIndex(request);
                       if (!number) {
                           SetError(response, 404, "no such station");
                           return;
                       }
                       AnswerStation(control, *number, response);
                   });
        server.Get(R"(/api/runs/([^/]+))",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       AnswerRun(control, request, response);
                   });
    }

    // The latest runs of the history, at most ?limit= of them (50 when not given).
    void History(const httplib::Request& request, httplib::Response& response) {
        if (settings.no_history) {
            SetError(response, 404,
                     "this line keeps no history: serve was started with --no-history");
            return;
        }
        long limit = 50;
        if (request.has_param("limit")) {
            const auto given = ParseWhole(request.get_param_value("limit"), 1, kMostHistoryRecords);
            if (!given) {
                SetError(response, 400, "limit: a number of records, 1 to 1000");
                return;
            }
            limit = *given;
        }
        SetAnswer(response, LatestRuns(settings.history, limit));
    }

    // A file of the dashboard.
    static void Page(const httplib::Request& request, httplib::Response& response) {
        const WebAsset* asset = FindWebAsset(request.path);
        if (asset == nullptr) {
            SetError(response, 404, "no such page");
            return;
        }
        response.set_header("Cache-Control", "no-cache");
        response.set_content(reinterpret_cast<const char*>(asset->bytes), asset->size,
                             asset->content_type);
    }

    void TrafficLog(const httplib::Request& request, httplib::Response& response) {
        const auto number = StationIndex(request);
        if (!number) {
            SetError(response, 404, "no such station");
            return;
        }
        const LineSnapshot snapshot = control.Snapshot();
        const std::string path =
            *number < snapshot.traffic_logs.size() ? snapshot.traffic_logs[*number] : "";
        std::error_code error;
        const std::uintmax_t size = path.empty() ? 0 : std::filesystem::file_size(path, error);
        if (path.empty() || error) {
            SetError(response, 404, "this station has no traffic log of a last run");
            return;
        }
        auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
        const std::uintmax_t sent = std::min(size, kMostTrafficLogBytes);
        file->seekg(static_cast<std::streamoff>(size - sent));
        if (!*file) {
            SetError(response, 404, "the traffic log cannot be read");
            return;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Disposition",
                            "inline; filename=\"station-" + std::to_string(*number + 1) + ".log\"");
        response.set_content_provider(
            static_cast<std::size_t>(sent), "text/plain; charset=utf-8",
            [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                (void)offset;
                char buffer[16 * 1024];
                const auto want = static_cast<std::streamsize>(std::min(length, sizeof buffer));
                file->read(buffer, want);
                const std::streamsize got = file->gcount();
                if (got <= 0) {
                    return false;  // the file shrank: the response ends short
                }
                return sink.write(buffer, static_cast<std::size_t>(got));
            });
    }

    void Stream(const httplib::Request& request, httplib::Response& response) {
        // A browser says where a request comes from: a page of another site (an image or a
        // script of its own pointing here) gets no place in the stream, and the last place is
        // kept for this server's own page.
        const std::string site = request.get_header_value("Sec-Fetch-Site");
        if ((!site.empty() && site != "same-origin" && site != "none") || !OriginIsOurs(request)) {
            SetError(response, 403, "a page of another site cannot read the live stream");
            return;
        }
        std::shared_ptr<EventHub::Client> client = events.Join(
            "state", control.Snapshot().state, request.remote_addr, site == "same-origin");
        if (!client) {
            SetError(response, 503, "too many clients of the live stream");
            return;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [client](std::size_t, httplib::DataSink& sink) {
                const auto message =
                    client->Next(std::chrono::steady_clock::now() + kStreamKeepAlive);
                if (!message) {
                    sink.done();
                    return true;
                }
                const std::string text = message->empty() ? ": still here\n\n" : *message;
                return sink.write(text.data(), text.size());
            },
            [this, client](bool) { events.Leave(client.get()); });
    }
};

HttpFront::HttpFront(const HttpFrontSettings& settings, LineControl& control, EventHub& events)
    : parts_(std::make_unique<Parts>(settings, control, events)) {
    Answering& server = parts_->server;
    server.set_payload_max_length(kMostRequestBytes);
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            return parts_->Guard(request, response);
        });
    parts_->Routes();
}

HttpFront::~HttpFront() {
    Stop();
}

Result<void> HttpFront::Bind() {
    if (Result<void> bound = parts_->door.Bind(parts_->settings.host, parts_->settings.port);
        !bound) {
        return bound;
    }
    const HttpFrontSettings& settings = parts_->settings;
    parts_->own_hosts =
        OwnHosts(settings.host, Port(), settings.tls != nullptr, settings.public_origins);
    return {};
}

std::vector<std::string> OwnHosts(const std::string& host, int port, bool tls,
                                  const std::vector<std::string>& public_origins) {
    const bool v6 = host.find(':') != std::string::npos;
    std::vector<std::string> hosts;
    for (const std::string& name : {std::string("127.0.0.1"), std::string("localhost"),
                                    std::string("[::1]"), v6 ? "[" + host + "]" : host}) {
        hosts.push_back(name + ":" + std::to_string(port));
        // A browser leaves the scheme's own port out of the Host header.
        if (port == (tls ? 443 : 80)) {
            hosts.push_back(name);
        }
    }
    for (const std::string& origin : public_origins) {
        hosts.push_back(origin.substr(origin.find("://") + 3));
    }
    return hosts;
}

int HttpFront::Port() const {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(parts_->door.Listener(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void HttpFront::Start() {
    // The library's own pool: the door hands it no more requests at once than it has threads.
    parts_->pool = std::make_unique<httplib::ThreadPool>(kThreads);
    parts_->server.Open(parts_->door.Listener());
    parts_->door.Start();
}

void HttpFront::Stop() {
    parts_->events.Close();
    parts_->server.Close();
    parts_->door.Stop();
    if (parts_->pool) {
        parts_->pool->shutdown();
        parts_->pool.reset();
    }
}

}  // namespace vantor::serve
