#include "serve/serve_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "line/line.h"
#include "line/station_process.h"
#include "platform/stop_handlers.h"
#include "platform/terminal.h"
#include "records/exit_status.h"
#include "records/files_list_taken.h"
#include "records/history_entry.h"
#include "records/history_store.h"
#include "records/json_writer.h"
#include "serve/ate_channel.h"
#include "serve/event_hub.h"
#include "serve/http_front.h"
#include "serve/line_control.h"
#include "serve/serve_options.h"
#include "serve/station_board.h"

namespace vantor::serve {

namespace {

// Prints "vantor-cli serve: MESSAGE" and the hint to serve's help on stderr, and returns the
// usage exit status.
int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "vantor-cli %s: %s\nTry 'vantor-cli %s --help'.\n", command.c_str(),
                 message.c_str(), command.c_str());
    return records::kExitUsage;
}

// Clients of the live stream at once, and messages each may have waiting before it counts as
// fallen behind and is dropped.
constexpr std::size_t kMostStreamClients = 8;
constexpr std::size_t kMostStreamClientsPerAddress = 4;
constexpr std::size_t kMostQueuedMessages = 64;
// How often the live stream shows a running station's progress.
constexpr auto kProgressEvery = std::chrono::milliseconds(250);
constexpr auto kIdleShowEvery = std::chrono::seconds(1);
// How long the loop waits for a request when no station runs.
constexpr auto kIdleWait = std::chrono::milliseconds(100);

constexpr std::string_view kLogFolderPrefix = "vantor-serve-";

// The folders of this user's servers that were killed before they could remove their own
// (vantor-serve-PID-XXXXXX whose process has ended) go when the next server starts.
void RemoveFoldersOfKilledServers(const std::filesystem::path& base) {
    std::error_code error;
    for (auto entry = std::filesystem::directory_iterator(base, error);
         !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind(kLogFolderPrefix, 0) != 0) {
            continue;
        }
        const char* first = name.data() + kLogFolderPrefix.size();
        const char* last = name.data() + name.size();
        long pid = 0;
        const auto parsed = std::from_chars(first, last, pid);
        struct stat status {};
        if (parsed.ec != std::errc() || parsed.ptr == last || *parsed.ptr != '-' || pid <= 0 ||
            ::lstat(entry->path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::getuid()) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            std::filesystem::remove_all(entry->path(), ignored);
        }
    }
}

// A folder for the stations' traffic logs that only this user may enter, removed at the end;
// its name holds this server's process id, so that a later server can tell it was left behind.
class LogFolder {
  public:
    LogFolder() {
        const char* base = std::getenv("TMPDIR");
        const std::string folder = base != nullptr && *base != '\0' ? base : "/tmp";
        RemoveFoldersOfKilledServers(folder);
        std::string pattern =
            folder + "/" + std::string(kLogFolderPrefix) + std::to_string(::getpid()) + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~LogFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

Answer Refused(int status, const std::string& why, const StationBoard& board) {
    return {status, "{\"error\":" + records::JsonString(why) +
                        ",\"stations\":" + board.StationsJson() + "}"};
}

// Does what `request` asks of the line; its answer, once every request of the round is done.
Answer Carry(line::Line& line, StationBoard& board, const LineRequest& request) {
    const std::size_t stations = line.Stations().size();
    if (request.action == LineRequest::Action::kStart) {
        board.ReadImage();
        if (request.station) {
            if (!line.Start(*request.station, request.labels)) {
                return Refused(
                    409, "station " + std::to_string(*request.station + 1) + " is running", board);
            }
            board.BeginRun(*request.station, records::NewRecordId());
            // The new run alone: its id and its station, with nothing of the run before.
            return {200, board.RunOf(*request.station).json};
        }
        int started = 0;
        for (std::size_t i = 0; i < stations; ++i) {
            if (line.Start(i, request.labels)) {
                board.BeginRun(i, records::NewRecordId());
                ++started;
            }
        }
        if (started == 0) {
            return Refused(409, "every station is running", board);
        }
        return {200, ""};
    }
    if (request.station) {
        if (!line.Stop(*request.station)) {
            const bool stopping =
                *request.station < stations &&
                line.Stations()[*request.station].state == line::Station::State::Running;
            return Refused(409,
                           "station " + std::to_string(*request.station + 1) +
                               (stopping ? " is stopping already" : " is not running"),
                           board);
        }
        return {200, ""};
    }
    for (std::size_t i = 0; i < stations; ++i) {
        line.Stop(i);
    }
    return {200, ""};
}

LineSnapshot SnapshotOf(const line::Line& line, const StationBoard& board) {
    LineSnapshot snapshot;
    snapshot.stations = board.StationsJson();
    snapshot.state = board.StateJson();
    snapshot.metrics = board.MetricsText();
    for (std::size_t i = 0; i < line.Stations().size(); ++i) {
        const line::Station& station = line.Stations()[i];
        snapshot.traffic_logs.push_back(station.attempts.empty() ? "" : line.TrafficLogOf(station));
        snapshot.station.push_back(board.StationJsonText(i));
    }
    return snapshot;
}

// Every station's current run, as /api/runs/{id} shows it.
void PublishRuns(const line::Line& line, const StationBoard& board, LineControl& control) {
    for (std::size_t i = 0; i < line.Stations().size(); ++i) {
        if (!board.RunIdOf(i).empty()) {
            control.PublishRun(board.RunIdOf(i), board.RunOf(i));
        }
    }
}

bool AnyRunning(const line::Line& line) {
    for (const line::Station& station : line.Stations()) {
        if (station.state == line::Station::State::Running) {
            return true;
        }
    }
    return false;
}

// Serves until an interruption, and then until the last running station has ended.
void Serve(line::Line& line, StationBoard& board, LineControl& control, EventHub& events) {
    auto last_shown = std::chrono::steady_clock::now();
    bool closing = false;
    for (;;) {
        const bool running = line.Step();
        if (platform::CountedInterruptions() > 0 && !closing) {
            closing = true;
            control.Close();
            for (std::size_t i = 0; i < line.Stations().size(); ++i) {
                if (line.Stations()[i].state == line::Station::State::Waiting) {
                    line.Stop(i);
                }
            }
        }
        auto requests = control.Take(running ? std::chrono::milliseconds(0) : kIdleWait);
        std::vector<Answer> answers;
        for (const auto& request : requests) {
            answers.push_back(Carry(line, board, *request));
        }
        const bool changed = board.Update() || !requests.empty();
        const auto now = std::chrono::steady_clock::now();
        // While none runs, the line's figures (its rate, the time) are shown once a second so
        // that they move with the clock.
        if (changed || now - last_shown >= (running ? kProgressEvery : kIdleShowEvery)) {
            LineSnapshot snapshot = SnapshotOf(line, board);
            events.Publish("state", snapshot.state);
            control.Publish(snapshot);
            PublishRuns(line, board, control);
            last_shown = now;
            for (std::size_t i = 0; i < requests.size(); ++i) {
                if (answers[i].body.empty()) {
                    answers[i].body = snapshot.stations;
                }
                requests[i]->answer.set_value(answers[i]);
            }
        }
        if (closing && !AnyRunning(line)) {
            return;
        }
    }
}

// Reads and checks what serve is asked to do, before anything is started; the exit status
// when that is all (help, version, a usage error), nothing when the line is to be served.
std::optional<int> ReadServeSettings(const std::vector<std::string>& arguments,
                                     ServeSettings& settings) {
    if (Result<void> parsed = ParseServe(arguments, settings); !parsed) {
        return UsageError(kServeCommand, parsed.reason());
    }
    if (settings.help) {
        std::fputs(ServeHelp(), stdout);
        return records::kExitSuccess;
    }
    if (settings.version) {
        std::printf("vantor-cli (Vantor %s)\n", VANTOR_VERSION);
        return records::kExitSuccess;
    }
    const auto stations = static_cast<long>(settings.line.ports.size());
    if (Result<void> room = line::MakeRoomForStations(
            settings.line.max_parallel > 0 ? std::min(settings.line.max_parallel, stations)
                                           : stations);
        !room) {
        return UsageError(kServeCommand, room.reason());
    }
    const std::string image =
        settings.line.files_list.empty() ? settings.line.image : settings.line.files_list;
    if (std::error_code error; !std::filesystem::is_regular_file(image, error)) {
        // A line served for hours must not find out at its first start that it has nothing
        // to send.
        return UsageError(kServeCommand, "\"" + image + "\" is not a file that can be read");
    }
    // Nor that its files list has no line, or a line no station can send.
    if (const auto fault = settings.line.files_list.empty()
                               ? std::nullopt
                               : records::FilesListFaultAt(settings.line.files_list)) {
        std::fprintf(stderr, "vantor-cli %s: %s\nvantor-cli: %s\n", kServeCommand,
                     fault->detail.c_str(), records::WhatToTryLine(fault->exit_status).c_str());
        return fault->exit_status;
    }
    return std::nullopt;
}

// Serves `line` on HTTP as `settings` say, until an interruption; the exit status.
int ServeLine(const ServeSettings& settings, line::Line& line) {
    StationBoard board(
        line, settings.line.files_list.empty() ? settings.line.image : settings.line.files_list);
    line.OnStationEvent([&board](const line::Station& station, std::string_view event) {
        board.OnEvent(station, event);
    });
    LineControl control(line.Stations().size());
    control.Publish(SnapshotOf(line, board));
    EventHub events(kMostStreamClients, kMostStreamClientsPerAddress, kMostQueuedMessages);
    HttpFrontSettings http{settings.host,
                           settings.port,
                           settings.loopback,
                           settings.token,
                           records::ChosenHistory(settings.history),
                           settings.tls,
                           settings.public_origins};
    http.no_history = settings.no_history;
    http.require_unit_serial = settings.require_unit_serial;
    HttpFront front(http, control, events);
    if (Result<void> bound = front.Bind(); !bound) {
        return UsageError(kServeCommand, "--listen " + settings.listen + ": " + bound.reason());
    }
    AteChannel ate(
        {settings.ate_host, settings.ate_port, settings.token, settings.require_unit_serial},
        control);
    if (!settings.ate_listen.empty()) {
        if (Result<void> bound = ate.Bind(); !bound) {
            return UsageError(kServeCommand,
                              "--ate-listen " + settings.ate_listen + ": " + bound.reason());
        }
    }
    platform::InstallCountingHandlers();
    front.Start();
    if (!settings.ate_listen.empty()) {
        ate.Start();
        std::fprintf(stderr, "vantor-cli serve: command channel at %s port %d\n",
                     settings.ate_host.c_str(), ate.Port());
    }
    const bool v6 = settings.host.find(':') != std::string::npos;
    std::fprintf(stderr, "vantor-cli serve: %zu station%s at %s://%s:%d/ (Ctrl-C ends)\n",
                 line.Stations().size(), line.Stations().size() == 1 ? "" : "s",
                 settings.tls ? "https" : "http",
                 (v6 ? "[" + settings.host + "]" : settings.host).c_str(), settings.port);
    std::fflush(stderr);
    Serve(line, board, control, events);
    ate.Stop();
    front.Stop();
    platform::RemoveCountingHandlers();
    return records::kExitSignalBase + platform::FirstCountedSignal();
}

}  // namespace

int RunServe(const std::vector<std::string>& arguments, const line::StationCommand& command) {
    if (const auto unavailable = line::StationsUnavailableHere()) {
        return UsageError(kServeCommand, unavailable->usage_error);
    }
    platform::IgnoreBrokenPipes();
    ServeSettings settings;
    settings.line.command = command;
    if (const auto done = ReadServeSettings(arguments, settings)) {
        return *done;
    }
    LogFolder logs;
    if (logs.Path().empty()) {
        std::fprintf(stderr,
                     "vantor-cli serve: no folder for the traffic logs can be made in the "
                     "temporary directory\n");
        return records::kExitUsage;
    }
    // The stations' own output goes to the dashboard, not to this terminal.
    line::LineObserver unseen;
    line::Line line(settings.line, unseen);
    if (!line.FilesLists().Problem().empty()) {
        return UsageError(kServeCommand, line.FilesLists().Problem());
    }
    line.HoldAll();
    line.KeepTrafficLogsIn(logs.Path());
    return ServeLine(settings, line);
}

}  // namespace vantor::serve
