#include "cli/line/production_line.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "cli/console/command_line.h"
#include "cli/console/exit_status.h"
#include "cli/console/json_text.h"
#include "cli/download/download_command.h"
#include "cli/line/line_view.h"
#include "cli/line/station.h"
#include "cli/ports/port_identity.h"
#include "cli/record/json_fields.h"
#include "cli/record/run_record.h"
#include "job/job.h"
#include "platform/regular_file.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "download";
constexpr std::size_t kMostStations = 256;
constexpr std::size_t kMostPortsFileBytes = 64 * 1024;
constexpr long kMostRetries = 100;
// A files list is copied for the stations only up to this size; a larger one is passed on as it
// is (a list of 128-character lines this long would name over 100,000 images).
constexpr std::size_t kMostFilesListBytes = 16 * 1024 * 1024;
// How long the stations get to stop between operations after Ctrl-C or SIGTERM, as a single
// run does, before the line kills what is left.
constexpr auto kInterruptGrace = std::chrono::seconds(30);
constexpr int kPollIdleMs = 100;
constexpr int kPollReapMs = 5;
// A station process that could not be started at all.
constexpr int kExitStationUnstartable = 127;

struct LineSettings {
    std::vector<std::string> ports;
    std::string ports_from;
    long max_parallel = 0;  // 0: every station at once
    long retries = 0;
    bool stop_on_first_failure = false;
    std::string report;
    bool json = false;
    bool quiet = false;
    std::string image;
    std::string files_list;
    std::vector<std::string> child_options;     // passed to every station
    std::vector<std::string> child_parameters;  // after "--"
};

// Reads a ports file: one port a line; blank lines and lines starting with # are skipped.
std::optional<std::string> ReadPortsFile(const std::string& path, std::vector<std::string>& ports) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return "--ports-from \"" + path + "\": " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > kMostPortsFileBytes) {
        return "--ports-from \"" + path + "\": not a regular file of at most 64 KiB";
    }
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        ports.push_back(line.substr(first, last - first + 1));
    }
    if (file.bad()) {
        return "--ports-from \"" + path + "\": cannot be read";
    }
    return std::nullopt;
}

std::optional<std::string> TakeLineValue(const std::string& option, const std::string& value,
                                         LineSettings& settings) {
    if (option == "--port") {
        if (value.empty()) {
            return "--port needs a value";
        }
        settings.ports.push_back(value);
    } else if (option == "--ports-from") {
        settings.ports_from = value;
        return ReadPortsFile(value, settings.ports);
    } else if (option == "--max-parallel") {
        const auto number = ParseWhole(value, 1, static_cast<long>(kMostStations));
        if (!number) {
            return "--max-parallel \"" + value + "\": a number of stations, 1 to 256";
        }
        settings.max_parallel = *number;
    } else if (option == "--retry") {
        const auto number = ParseWhole(value, 0, kMostRetries);
        if (!number) {
            return "--retry \"" + value + "\": a number of retries, 0 to 100";
        }
        settings.retries = *number;
    } else if (option == "--report") {
        if (value.empty()) {
            return "--report needs a value";
        }
        settings.report = value;
    } else if (option == "--traffic-log" || option == "--notify-fd") {
        return option + " belongs to a single station's run (one --port)";
    } else {
        if (option == "--files-list") {
            settings.files_list = value;
        }
        settings.child_options.push_back(option);
        settings.child_options.push_back(value);
    }
    return std::nullopt;
}

std::optional<std::string> ParseLine(const std::vector<std::string>& arguments,
                                     LineSettings& settings) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (!reader.IsOption(argument)) {
            settings.image = settings.image.empty() ? argument : settings.image;
            settings.child_parameters.push_back(argument);
            continue;
        }
        if (argument == "--json" || argument == "--quiet" || IsLineFlag(argument)) {
            if (reader.HasAttachedValue()) {
                return argument + " takes no value";
            }
            (argument == "--json"    ? settings.json
             : argument == "--quiet" ? settings.quiet
                                     : settings.stop_on_first_failure) = true;
        } else if (TakesValue(argument)) {
            std::string error;
            const auto value = reader.Value(argument, error);
            if (!value) {
                return error;
            }
            if (auto problem = TakeLineValue(argument, *value, settings)) {
                return problem;
            }
        } else {
            settings.child_options.push_back(argument);  // the station's own check judges it
        }
    }
    return std::nullopt;
}

// The arguments of one station's child; `files_list`, when given, stands for the list named by
// --files-list.
std::vector<std::string> ChildArguments(const LineSettings& settings, const std::string& device,
                                        const std::string& files_list = "") {
    std::vector<std::string> arguments{kCommand};
    arguments.insert(arguments.end(), settings.child_options.begin(), settings.child_options.end());
    if (!files_list.empty()) {
        const auto option = std::find(arguments.begin(), arguments.end(), "--files-list");
        if (option != arguments.end() && option + 1 != arguments.end()) {
            *(option + 1) = files_list;
        }
    }
    arguments.insert(arguments.end(), {"--port", device, "--json"});
    if (!settings.child_parameters.empty()) {
        // After "--" an image whose name begins with "-" is still an image.
        arguments.push_back("--");
        arguments.insert(arguments.end(), settings.child_parameters.begin(),
                         settings.child_parameters.end());
    }
    return arguments;
}

std::optional<std::string> CheckLine(const LineSettings& settings) {
    if (settings.ports.empty()) {
        return "--ports-from \"" + settings.ports_from + "\" names no port";
    }
    if (settings.ports.size() > kMostStations) {
        return "a line has at most 256 stations";
    }
    if (settings.json && settings.quiet) {
        return "--json and --quiet exclude each other";
    }
    std::set<std::string> seen;
    for (const std::string& port : settings.ports) {
        if (!seen.insert(port).second) {
            // Two stations on one port would talk over each other to one drive.
            return "the port \"" + port + "\" is given twice";
        }
        // Each station's settings are checked here once, so that a mistake stops the line
        // before any drive is touched.
        std::vector<std::string> check = ChildArguments(settings, port);
        check.erase(check.begin());
        if (auto problem = DownloadUsageProblem(check)) {
            return *problem;
        }
    }
    return std::nullopt;
}

// A job holds its files list for itself while it runs (a second opener is refused), so stations
// that run at once each read a copy of their own, taken once under the list's lock when the line
// starts. The copies go with the line. A list that cannot be copied is passed on as it is, and
// the station then says what is wrong with it.
class FilesListCopies {
  public:
    FilesListCopies(const std::string& list, std::size_t stations) {
        if (list.empty()) {
            return;
        }
        std::string contents;
        if (!ReadLockedList(list, contents)) {
            return;
        }
        std::string folder =
            (std::filesystem::temp_directory_path() / "vantor-line-XXXXXX").string();
        if (::mkdtemp(folder.data()) == nullptr) {
            return;
        }
        folder_ = folder;
        for (std::size_t station = 1; station <= stations; ++station) {
            const std::string copy = folder_ + "/station-" + std::to_string(station) + "-" +
                                     std::filesystem::path(list).filename().string();
            std::ofstream out(copy, std::ios::binary);
            out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
            out.close();
            paths_.push_back(out ? copy : "");
        }
    }
    ~FilesListCopies() {
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    FilesListCopies(const FilesListCopies&) = delete;
    FilesListCopies& operator=(const FilesListCopies&) = delete;

    // The copy for station `number` (from 1), or empty for the list as given.
    std::string For(int number) const {
        const auto index = static_cast<std::size_t>(number - 1);
        return index < paths_.size() ? paths_[index] : "";
    }

  private:
    static bool ReadLockedList(const std::string& list, std::string& contents) {
        const int fd = platform::OpenRegularFile(list, false, true);
        if (fd < 0) {
            return false;
        }
        char buffer[64 * 1024];
        ssize_t got = 0;
        while (contents.size() <= kMostFilesListBytes &&
               ((got = ::read(fd, buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))) {
            contents.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        ::close(fd);
        return got == 0 && contents.size() <= kMostFilesListBytes;
    }

    std::string folder_;
    std::vector<std::string> paths_;
};

// The parent's own interruption: counted, and passed on to the stations by the loop.
std::atomic<int> g_line_signal{0};
std::atomic<int> g_line_signals{0};

void OnLineSignal(int signal_number) {
    if (g_line_signal.load() == 0) {
        g_line_signal.store(signal_number);
    }
    g_line_signals.fetch_add(1);
}

void HandleLineSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the loop's poll returns at once and passes the signal on.
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

std::string SignalName(int signal_number) {
    const char* description = ::strsignal(signal_number);
    return "signal " + std::to_string(signal_number) +
           (description != nullptr ? std::string(" (") + description + ")" : "");
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

class Line {
  public:
    Line(const LineSettings& settings, LineView& view)
        : settings_(settings), view_(view), lists_(settings.files_list, settings.ports.size()) {
        for (const std::string& port : settings.ports) {
            Station& station = stations_.emplace_back();
            station.number = static_cast<int>(stations_.size());
            station.port = port;
        }
    }

    void Run();
    int ExitStatus() const;
    std::string DocumentFields() const;
    const std::vector<Station>& Stations() const { return stations_; }

  private:
    void StartWaiting();
    void StartAttempt(Station& station);
    void EndAttempt(Station& station, Attempt attempt);
    void OnEvent(Station& station, std::string_view line);
    void Watch();
    void PassOnSignals();
    int Running() const;

    const LineSettings& settings_;
    LineView& view_;
    FilesListCopies lists_;
    std::vector<Station> stations_;
    bool any_failed_ = false;
    int signals_passed_ = 0;
    std::optional<std::chrono::steady_clock::time_point> kill_at_;
    std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
    std::chrono::system_clock::time_point ended_;
};

int Line::Running() const {
    return static_cast<int>(std::count_if(stations_.begin(), stations_.end(), [](const Station& s) {
        return s.state == Station::State::Running;
    }));
}

void Line::StartWaiting() {
    const bool stopping =
        g_line_signals.load() > 0 || (settings_.stop_on_first_failure && any_failed_);
    const long most =
        settings_.max_parallel > 0 ? settings_.max_parallel : static_cast<long>(stations_.size());
    for (Station& station : stations_) {
        if (stopping || Running() >= most) {
            return;
        }
        if (station.state == Station::State::Waiting) {
            StartAttempt(station);
        }
    }
}

void Line::StartAttempt(Station& station) {
    Attempt attempt;
    attempt.number = static_cast<int>(station.attempts.size()) + 1;
    station.attempt_started = std::chrono::steady_clock::now();
    if (station.attempts.empty()) {
        station.first_started = station.attempt_started;
    }
    station.summary_seen = false;
    station.killed_by_line = false;
    station.last_error_line.clear();
    station.stage.clear();
    station.progress_shown = false;
    station.last_ms = 0;
    station.last_bytes = 0;
    // The adapter is looked up again for every attempt: it may have been plugged in again.
    const PortResolution resolved = IsPortIdentity(station.port)
                                        ? ResolvePortIdentity(station.port, ListSerialDevices())
                                        : PortResolution{station.port, ""};
    attempt.device = resolved.device;
    if (!resolved.error.empty()) {
        attempt.result = kStationFailed;
        attempt.status = ExitStatusForJob(kJobPortUnopenable);
        attempt.meaning = ExitMeaning(attempt.status);
        attempt.detail = resolved.error;
        station.state = Station::State::Running;
        EndAttempt(station, attempt);
        return;
    }
    std::string error;
    const auto process = StartStationProcess(
        ChildArguments(settings_, resolved.device, lists_.For(station.number)), &error);
    if (!process) {
        attempt.result = kStationFailed;
        attempt.status = kExitStationUnstartable;
        attempt.meaning = "the station process could not start";
        attempt.detail = error;
        station.state = Station::State::Running;
        EndAttempt(station, attempt);
        return;
    }
    station.process = *process;
    attempt.pid = process->pid;
    station.state = Station::State::Running;
    station.attempts.push_back(attempt);
    view_.StationStarted(station, station.attempts.back());
}

void Line::OnEvent(Station& station, std::string_view line) {
    view_.StationEvent(station, line);
    const std::string event = JsonStringField(line, "event").value_or("");
    station.last_ms = JsonNumberField(line, "time_ms").value_or(station.last_ms);
    if (const auto bytes = JsonNumberField(line, "bytes_sent")) {
        station.last_bytes = static_cast<std::uint64_t>(*bytes);
    }
    if (event == "status") {
        station.stage = JsonStringField(line, "text").value_or("");
        if (!StartsWith(station.stage, "Downloading packet")) {
            view_.StationText(station, station.stage);
        }
    } else if (event == "message-box") {
        view_.StationText(station, JsonStringField(line, "caption").value_or("") + ": " +
                                       JsonStringField(line, "text").value_or(""));
    } else if (event == "progress-range") {
        station.progress_shown = true;
        station.range_high = static_cast<int>(JsonNumberField(line, "high").value_or(0));
        station.position = static_cast<int>(JsonNumberField(line, "low").value_or(0));
        station.range_start_ms = station.last_ms;
        station.range_start_bytes = station.last_bytes;
        station.progress_ms = station.last_ms;
    } else if (event == "progress") {
        station.position = static_cast<int>(JsonNumberField(line, "position").value_or(0));
        station.progress_ms = station.last_ms;
    } else if (event == "summary" && !station.attempts.empty()) {
        station.summary_seen = true;
        Attempt& attempt = station.attempts.back();
        attempt.record = std::string(line);
        attempt.result = JsonStringField(line, "result").value_or(kStationFailed);
        attempt.meaning = JsonStringField(line, "meaning").value_or("");
        attempt.detail = JsonStringField(line, "detail").value_or("");
    }
}

void Line::EndAttempt(Station& station, Attempt attempt) {
    const bool spawned = attempt.pid > 0;
    if (!spawned) {
        station.attempts.push_back(attempt);
    } else {
        station.attempts.back() = attempt;
    }
    const Attempt& ended = station.attempts.back();
    const bool will_retry = ended.result == kStationFailed && ended.status != kExitUsage &&
                            static_cast<long>(station.attempts.size()) <= settings_.retries &&
                            g_line_signals.load() == 0;
    view_.StationEnded(station, ended, will_retry);
    if (will_retry) {
        station.state = Station::State::Waiting;
        return;
    }
    station.state = Station::State::Done;
    station.result = ended.result;
    station.status = ended.status;
    station.ended = std::chrono::steady_clock::now();
    any_failed_ = any_failed_ || ended.result != kStationSuccess;
}

// What a child that has ended came to.
Attempt Judge(const Station& station, Attempt attempt, const StationExit& exit) {
    attempt.cpu_s = exit.cpu_s;
    attempt.max_rss_kib = exit.max_rss_kib;
    attempt.duration_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - station.attempt_started)
            .count();
    if (!exit.exited) {
        attempt.signal = exit.signal;
        attempt.status = exit.signal > 0 ? kExitSignalBase + exit.signal : -1;
        // A station that the interruption reached before it could take the signal as a run
        // does, or that was killed when it did not stop in time, was interrupted all the same.
        if (station.killed_by_line || g_line_signals.load() > 0) {
            attempt.result = kStationInterrupted;
            attempt.meaning = "interrupted";
            attempt.detail = station.killed_by_line
                                 ? "it did not stop within 30 s of the interruption and was killed"
                                 : "ended by " + SignalName(exit.signal);
        } else {
            attempt.result = kStationKilled;
            attempt.meaning = "killed";
            attempt.detail = "the station process was ended by " + SignalName(exit.signal) +
                             " from outside the line";
        }
        return attempt;
    }
    attempt.status = exit.status;
    if (!station.summary_seen) {
        attempt.result = kStationFailed;
        attempt.meaning = ExitMeaning(exit.status);
        attempt.detail = "the station ended without a run record" +
                         (station.last_error_line.empty() ? "" : ": " + station.last_error_line);
    } else if (attempt.result == kStationSuccess && exit.status != kExitSuccess) {
        attempt.result = kStationFailed;  // a record that says success is not enough
    }
    return attempt;
}

void Line::PassOnSignals() {
    const int signals = g_line_signals.load();
    if (signals > signals_passed_) {
        // A second Ctrl-C ends the stations at once, as it ends a single run.
        signals_passed_ = signals;
        const int signal_number = g_line_signal.load();
        for (const Station& station : stations_) {
            if (station.state == Station::State::Running && station.process.pid > 0) {
                ::kill(station.process.pid, signal_number);
            }
        }
        if (!kill_at_) {
            kill_at_ = std::chrono::steady_clock::now() + kInterruptGrace;
        }
    }
    if (kill_at_ && std::chrono::steady_clock::now() >= *kill_at_) {
        for (Station& station : stations_) {
            if (station.state == Station::State::Running && !station.killed_by_line) {
                station.killed_by_line = true;
                ::kill(station.process.pid, SIGKILL);
            }
        }
    }
}

// Waits for output or the end of a station, and takes what came.
void Line::Watch() {
    std::vector<pollfd> fds;
    bool awaiting_reap = false;
    for (const Station& station : stations_) {
        if (station.state != Station::State::Running) {
            continue;
        }
        for (int fd : {station.process.events_fd, station.process.errors_fd}) {
            if (fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
            }
        }
        awaiting_reap =
            awaiting_reap || (station.process.events_fd < 0 && station.process.errors_fd < 0);
    }
    ::poll(fds.data(), fds.size(), awaiting_reap ? kPollReapMs : kPollIdleMs);
    for (Station& station : stations_) {
        if (station.state != Station::State::Running) {
            continue;
        }
        auto on_event = [&](std::string_view line) { OnEvent(station, line); };
        auto on_error = [&](std::string_view line) {
            if (!line.empty()) {
                station.last_error_line = std::string(line);
            }
        };
        ReadStationStream(station.process.events_fd, station.events, on_event);
        ReadStationStream(station.process.errors_fd, station.errors, on_error);
        const auto exit = ReapStation(station.process.pid);
        if (!exit) {
            continue;
        }
        // The child is gone: what it wrote is all in the pipes.
        while (ReadStationStream(station.process.events_fd, station.events, on_event)) {
        }
        while (ReadStationStream(station.process.errors_fd, station.errors, on_error)) {
        }
        EndAttempt(station, Judge(station, station.attempts.back(), *exit));
    }
}

void Line::Run() {
    for (;;) {
        PassOnSignals();
        StartWaiting();
        if (Running() == 0) {
            break;
        }
        view_.Refresh(stations_, false);
        Watch();
    }
    for (Station& station : stations_) {
        if (station.state == Station::State::Waiting) {
            station.state = Station::State::Done;
            station.ended = std::chrono::steady_clock::now();
            if (station.attempts.empty()) {
                station.result = kStationNotStarted;
            } else {
                station.result = station.attempts.back().result;
                station.status = station.attempts.back().status;
            }
        }
    }
    ended_ = std::chrono::system_clock::now();
}

int Line::ExitStatus() const {
    if (const int signal_number = g_line_signal.load(); signal_number != 0) {
        return kExitSignalBase + signal_number;
    }
    const bool all = std::all_of(stations_.begin(), stations_.end(),
                                 [](const Station& s) { return s.result == kStationSuccess; });
    return all ? kExitSuccess : kExitSomeStationsFailed;
}

std::string AttemptJson(const Attempt& attempt) {
    char figures[96];
    std::snprintf(figures, sizeof figures,
                  ",\"duration_s\":%.3f,\"cpu_s\":%.3f,\"max_rss_kib\":%ld", attempt.duration_s,
                  attempt.cpu_s, attempt.max_rss_kib);
    return "{\"attempt\":" + std::to_string(attempt.number) +
           ",\"device\":" + JsonString(attempt.device) +
           ",\"pid\":" + (attempt.pid > 0 ? std::to_string(attempt.pid) : "null") +
           ",\"result\":" + JsonString(attempt.result) +
           ",\"status\":" + std::to_string(attempt.status) +
           ",\"signal\":" + (attempt.signal > 0 ? std::to_string(attempt.signal) : "null") +
           ",\"meaning\":" + JsonString(attempt.meaning) +
           ",\"detail\":" + JsonString(attempt.detail) + figures +
           ",\"record\":" + (attempt.record.empty() ? "null" : attempt.record) + "}";
}

std::string Line::DocumentFields() const {
    const int status = ExitStatus();
    std::string stations = "[";
    std::string failed = "[";
    int succeeded = 0;
    for (const Station& station : stations_) {
        const bool success = station.result == kStationSuccess;
        succeeded += success ? 1 : 0;
        if (!success) {
            failed += (failed.size() > 1 ? "," : "") + std::to_string(station.number);
        }
        std::string attempts = "[";
        for (const Attempt& attempt : station.attempts) {
            attempts += (attempts.size() > 1 ? "," : "") + AttemptJson(attempt);
        }
        stations += (stations.size() > 1 ? "," : "") + std::string("{\"station\":") +
                    std::to_string(station.number) + ",\"port\":" + JsonString(station.port) +
                    ",\"result\":" + JsonString(station.result) + ",\"status\":" +
                    (station.attempts.empty() ? "null" : std::to_string(station.status)) +
                    ",\"attempts\":" + attempts + "]}";
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f",
                  std::chrono::duration<double>(ended_ - started_).count());
    const std::string result = g_line_signal.load() != 0 ? kStationInterrupted
                               : status == kExitSuccess  ? kStationSuccess
                                                         : kStationFailed;
    return "\"tool\":\"vantor-cli\",\"version\":" + JsonString(VANTOR_VERSION) +
           ",\"command\":\"download\",\"image\":" +
           (settings_.files_list.empty() ? JsonString(settings_.image) : "null") +
           ",\"files_list\":" +
           (settings_.files_list.empty() ? "null" : JsonString(settings_.files_list)) +
           ",\"result\":" + JsonString(result) + ",\"status\":" + std::to_string(status) +
           ",\"meaning\":" + JsonString(ExitMeaning(status)) +
           ",\"started\":" + JsonString(IsoUtc(started_)) +
           ",\"ended\":" + JsonString(IsoUtc(ended_)) + ",\"duration_s\":" + duration +
           ",\"stations_total\":" + std::to_string(stations_.size()) +
           ",\"stations_succeeded\":" + std::to_string(succeeded) +
           ",\"stations_not_succeeded\":" + failed + "],\"stations\":" + stations + "]";
}

LineViewMode ChooseViewMode(const LineSettings& settings) {
    if (settings.json) {
        return LineViewMode::Json;
    }
    if (settings.quiet) {
        return LineViewMode::Quiet;
    }
    return ::isatty(STDOUT_FILENO) ? LineViewMode::Terminal : LineViewMode::Plain;
}

int LineUsageError(const LineSettings& settings, const std::string& message) {
    if (settings.json) {
        std::printf(
            "{\"event\":\"error\",\"time_ms\":0.000,\"status\":%d,\"meaning\":\"usage "
            "error\",\"message\":%s}\n",
            kExitUsage, JsonString(message).c_str());
        std::fflush(stdout);
    }
    return UsageError(kCommand, message);
}

}  // namespace

const char* const kProductionLineHelp =
    "production line (several stations at once, each in a process of its own):\n"
    "  --port PORT         given more than once: one station per port\n"
    "  --ports-from FILE   one port a line (# starts a comment)\n"
    "                      a PORT may also be usb-serial:SERIAL (the adapter's USB serial\n"
    "                      number) or by-id:NAME (a name under /dev/serial/by-id/)\n"
    "  --max-parallel N    at most N stations at once (default: all)\n"
    "  --retry N           run a failed station again from the start, up to N times\n"
    "  --stop-on-first-failure  start no new station once one has failed\n"
    "  --report FILE       one JSON document for the whole line, one entry per station\n"
    "  a live row per station on a terminal; --json passes every station's events on with\n"
    "  a \"station\" field, then one line-summary event. Exit status 0 when every station\n"
    "  succeeded, 30 when some did not, 130/143 when interrupted.\n";

int RunProductionLine(const std::vector<std::string>& arguments) {
    // A reader of the output that goes away must not end the line with its stations running.
    std::signal(SIGPIPE, SIG_IGN);
    LineSettings settings;
    if (auto problem = ParseLine(arguments, settings)) {
        return LineUsageError(settings, *problem);
    }
    if (auto problem = CheckLine(settings)) {
        return LineUsageError(settings, *problem);
    }
    LineView view(ChooseViewMode(settings), stdout, stderr);
    Line line(settings, view);
    HandleLineSignals(OnLineSignal);
    line.Run();
    HandleLineSignals(SIG_DFL);
    const int status = line.ExitStatus();
    const std::string fields = line.DocumentFields();
    if (!settings.report.empty()) {
        std::string error;
        if (!WriteReportFile(settings.report, "{" + fields + "}", &error)) {
            std::fprintf(stderr, "vantor-cli: the report \"%s\" could not be written: %s\n",
                         settings.report.c_str(), error.c_str());
        }
    }
    view.Finish(line.Stations(), status, fields);
    return status;
}

}  // namespace vantor::cli
