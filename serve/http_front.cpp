#include "serve/http_front.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/program_options.h"
#include "records/json_writer.h"
#include "serve/serve_history.h"
#include "serve/web_assets.h"

namespace vantor::cli {

using platform::ParseWhole;

namespace {

// Threads that answer requests, and connections accepted but waiting for one; when both are
// taken the server takes no more connections until one is done (the system holds the rest in
// the listening socket's backlog).
constexpr std::size_t kThreads = 16;
constexpr std::size_t kMostWaitingConnections = 32;
// The requests take no body worth the name.
constexpr std::size_t kMostRequestBytes = 4096;
constexpr time_t kReadTimeoutS = 5;
constexpr time_t kWriteTimeoutS = 5;
constexpr time_t kKeepAliveS = 5;
constexpr std::size_t kKeepAliveRequests = 100;
// How long a request to start or stop waits for the line's loop.
constexpr auto kLineAnswerBound = std::chrono::seconds(10);
// A comment on an idle stream, so that a client that has gone is noticed.
constexpr auto kStreamKeepAlive = std::chrono::seconds(10);
// A traffic log larger than this is cut to its last part.
constexpr std::uintmax_t kMostTrafficLogBytes = 64ull * 1024 * 1024;

// A fixed set of threads with a bounded queue: enqueue waits for room, which holds the
// accepting thread and so bounds the connections open at once.
class BoundedPool : public httplib::TaskQueue {
  public:
    BoundedPool(std::size_t threads, std::size_t most_waiting) : most_waiting_(most_waiting) {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { Work(); });
        }
    }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < most_waiting_ || stopping_; });
        jobs_.push_back(std::move(fn));
        work_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        room_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

  private:
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            job();
        }
    }

    std::size_t most_waiting_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable room_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
};

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
    SetJson(response, status, JsonObject().String("error", why).Text());
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
        : settings(s), control(c), events(e) {}

    HttpFrontSettings settings;
    LineControl& control;
    EventHub& events;
    httplib::Server server;
    std::thread thread;
    std::vector<std::string> own_hosts;  // what the Host header may say without a token

    bool HostIsOurs(const std::string& host) const {
        for (const std::string& own : own_hosts) {
            if (host == own) {
                return true;
            }
        }
        return false;
    }

    httplib::Server::HandlerResponse Guard(const httplib::Request& request,
                                           httplib::Response& response) {
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; connect-src 'self'; frame-ancestors 'none'");
        const std::string host = request.get_header_value("Host");
        if (settings.token.empty() && !HostIsOurs(host)) {
            // A name that resolves to this machine only for the moment (DNS rebinding) must
            // not reach a server that asks for no token.
            SetError(response, 403, "the Host header does not name this server");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!settings.token.empty() && !IsDashboardFile(request.path)) {
            const std::string given = request.get_header_value("Authorization");
            const std::string prefix = "Bearer ";
            if (given.rfind(prefix, 0) != 0 ||
                !SameSecret(given.substr(prefix.size()), settings.token)) {
                response.set_header("WWW-Authenticate", "Bearer realm=\"vantor\"");
                SetError(response, 401, "this server needs Authorization: Bearer TOKEN");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (request.method != "GET" && request.method != "HEAD" && request.has_header("Origin") &&
            request.get_header_value("Origin") != "http://" + host) {
            SetError(response, 403, "a page of another site cannot start or stop stations");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    std::optional<std::size_t> StationNumber(const httplib::Request& request) const {
        const std::string text = request.matches[1];
        if (text.empty() || text.size() > 4) {
            return std::nullopt;
        }
        std::size_t number = 0;
        for (const char c : text) {
            number = number * 10 + static_cast<std::size_t>(c - '0');
        }
        if (number >= control.Stations()) {
            return std::nullopt;
        }
        return number;
    }

    void Routes() {
        server.Get("/api/stations", [this](const httplib::Request&, httplib::Response& response) {
            SetJson(response, 200, control.Snapshot().stations);
        });
        server.Post("/api/start", [this](const httplib::Request&, httplib::Response& response) {
            SetAnswer(response,
                      control.Ask(LineRequest::Action::kStart, std::nullopt, kLineAnswerBound));
        });
        server.Post("/api/stop", [this](const httplib::Request&, httplib::Response& response) {
            SetAnswer(response,
                      control.Ask(LineRequest::Action::kStop, std::nullopt, kLineAnswerBound));
        });
        server.Post(R"(/api/stations/([0-9]+)/(start|stop))",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        const auto number = StationNumber(request);
                        if (!number) {
                            SetError(response, 404, "no such station");
                            return;
                        }
                        const auto action = request.matches[2] == "start"
                                                ? LineRequest::Action::kStart
                                                : LineRequest::Action::kStop;
                        SetAnswer(response, control.Ask(action, number, kLineAnswerBound));
                    });
        server.Get(R"(/api/stations/([0-9]+)/traffic-log)",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       TrafficLog(request, response);
                   });
        server.Get("/api/history",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       History(request, response);
                   });
        server.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
            Stream(response);
        });
        server.Get(R"(/([a-z.]*))", &Page);
        server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty()) {
                SetError(response, response.status,
                         response.status == 404   ? "no such page"
                         : response.status == 400 ? "a malformed request (a POST needs a "
                                                    "Content-Length, 0 for none: curl -d '')"
                                                  : "the request was refused");
            }
        });
    }

    // The latest runs of the history, at most ?limit= of them (50 when not given).
    void History(const httplib::Request& request, httplib::Response& response) {
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
        const auto number = StationNumber(request);
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
                            "inline; filename=\"station-" + std::to_string(*number) + ".log\"");
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

    void Stream(httplib::Response& response) {
        const std::string greeting = "event: state\ndata: " + control.Snapshot().state + "\n\n";
        std::shared_ptr<EventHub::Client> client = events.Join(greeting);
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
    const std::string port = std::to_string(settings.port);
    const bool v6 = settings.host.find(':') != std::string::npos;
    parts_->own_hosts = {"127.0.0.1:" + port, "localhost:" + port, "[::1]:" + port,
                         (v6 ? "[" + settings.host + "]" : settings.host) + ":" + port};
    httplib::Server& server = parts_->server;
    server.new_task_queue = [] { return new BoundedPool(kThreads, kMostWaitingConnections); };
    server.set_payload_max_length(kMostRequestBytes);
    server.set_read_timeout(kReadTimeoutS, 0);
    server.set_write_timeout(kWriteTimeoutS, 0);
    server.set_keep_alive_timeout(kKeepAliveS);
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            return parts_->Guard(request, response);
        });
    parts_->Routes();
}

HttpFront::~HttpFront() {
    Stop();
}

std::optional<std::string> HttpFront::Bind() {
    if (!parts_->server.bind_to_port(parts_->settings.host, parts_->settings.port)) {
        return "cannot listen on " + parts_->settings.host + " port " +
               std::to_string(parts_->settings.port) +
               " (in use, or not an address of this machine)";
    }
    return std::nullopt;
}

void HttpFront::Start() {
    parts_->thread = std::thread([this] { parts_->server.listen_after_bind(); });
}

void HttpFront::Stop() {
    parts_->events.Close();
    if (parts_->thread.joinable()) {
        parts_->server.stop();
        parts_->thread.join();
    }
}

}  // namespace vantor::cli
