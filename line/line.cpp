#include "line/line.h"

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "job/job.h"
#include "line/station_process.h"
#include "platform/serial/port_identity.h"
#include "platform/stop_handlers.h"
#include "records/exit_status.h"
#include "records/json_reader.h"

namespace vantor::line {

namespace {

// How long the stations get to stop between operations after Ctrl-C or SIGTERM, as a single
// run does, before the line kills what is left.
constexpr auto kInterruptGrace = std::chrono::seconds(30);
// A station process that could not be started at all.
constexpr int kExitStationUnstartable = 127;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
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
        attempt.status = exit.signal > 0 ? records::kExitSignalBase + exit.signal : -1;
        // A station that the interruption reached before it could take the signal as a run
        // does, or that was killed when it did not stop in time, was interrupted all the same.
        if (station.killed_by_line || station.kill_at || platform::CountedInterruptions() > 0) {
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
        attempt.meaning = records::ExitMeaning(exit.status);
        attempt.detail = "the station ended without a run record" +
                         (station.last_error_line.empty() ? "" : ": " + station.last_error_line);
    } else if (attempt.result == kStationSuccess && exit.status != records::kExitSuccess) {
        attempt.result = kStationFailed;  // a record that says success is not enough
    }
    return attempt;
}

}  // namespace

records::UnitFields RunUnitOf(const Station& station) {
    records::UnitFields unit = station.unit;
    for (const std::string& option : records::UnitFieldOptions()) {
        std::string records::UnitFields::*field = records::UnitFieldOf(option);
        if (!(station.start_unit.*field).empty()) {
            unit.*field = station.start_unit.*field;
        }
    }
    return unit;
}

UnrecordedRuns UnrecordedRunsOf(const Station& station) {
    UnrecordedRuns unrecorded;
    for (const Attempt& attempt : station.attempts) {
        if (attempt.recorded == false) {
            ++unrecorded.count;
            unrecorded.reason = attempt.history_error;
        }
    }
    return unrecorded;
}

UnrecordedRuns UnrecordedRunsOf(const std::vector<Station>& stations) {
    UnrecordedRuns all;
    for (const Station& station : stations) {
        const UnrecordedRuns unrecorded = UnrecordedRunsOf(station);
        all.count += unrecorded.count;
        all.reason = unrecorded.count > 0 ? unrecorded.reason : all.reason;
    }
    return all;
}

Line::Line(const LineSettings& settings, LineObserver& view)
    : settings_(settings), view_(view), lists_(settings.files_list, settings.ports.size()) {
    for (std::size_t index = 0; index < settings.ports.size(); ++index) {
        Station& station = stations_.emplace_back();
        station.number = static_cast<int>(stations_.size());
        station.port = settings.ports[index];
        station.unit = StationUnit(settings, index);
    }
}

int Line::Running() const {
    return static_cast<int>(std::count_if(stations_.begin(), stations_.end(), [](const Station& s) {
        return s.state == Station::State::Running;
    }));
}

void Line::StartWaiting() {
    const bool stopping =
        platform::CountedInterruptions() > 0 || (settings_.stop_on_first_failure && any_failed_);
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
    station.kill_at.reset();
    station.last_error_line.clear();
    station.stage.clear();
    station.progress_shown = false;
    station.last_ms = 0;
    station.last_bytes = 0;
    // The adapter is looked up again for every attempt: it may have been plugged in again.
    const platform::PortResolution resolved =
        platform::IsPortIdentity(station.port)
            ? platform::ResolvePortIdentity(station.port, platform::ListSerialDevices())
            : platform::PortResolution{station.port, ""};
    attempt.device = resolved.device;
    if (!resolved.error.empty()) {
        attempt.result = kStationFailed;
        attempt.status = records::ExitStatusForJob(JobResult::kPortUnopenable);
        attempt.meaning = records::ExitMeaning(attempt.status);
        attempt.detail = resolved.error;
        station.state = Station::State::Running;
        EndAttempt(station, attempt);
        return;
    }
    std::vector<std::string> arguments =
        ChildArguments(settings_, resolved.device, lists_.For(station.number), RunUnitOf(station));
    if (!traffic_log_folder_.empty()) {
        // Only the last attempt's log is kept: an earlier run's must not pass for this one's.
        const std::string log = TrafficLogOf(station);
        std::error_code ignored;
        std::filesystem::remove(log, ignored);
        arguments.insert(arguments.begin() + 1, {"--traffic-log", log});
    }
    auto process = StationProcess::Start(arguments);
    if (!process) {
        attempt.result = kStationFailed;
        attempt.status = kExitStationUnstartable;
        attempt.meaning = "the station process could not start";
        attempt.detail = process.reason();
        station.state = Station::State::Running;
        EndAttempt(station, attempt);
        return;
    }
    station.process = std::move(*process);
    attempt.pid = station.process.Id();
    station.state = Station::State::Running;
    station.attempts.push_back(attempt);
    view_.StationStarted(station, station.attempts.back());
}

void Line::OnEvent(Station& station, std::string_view line) {
    const records::JsonMembers members(line);
    if (!members.Valid()) {
        // Not passed on: the line's own stream and report hold only what reads as JSON. The
        // station's run is judged as ever; this says why its record may be missing.
        station.last_error_line =
            "the station wrote an event that is not JSON (" + members.Fault() + ")";
        view_.StationText(station, station.last_error_line);
        return;
    }
    view_.StationEvent(station, line);
    if (event_listener_) {
        event_listener_(station, line);
    }
    const std::string event = members.String("event").value_or("");
    station.last_ms = members.Number("time_ms").value_or(station.last_ms);
    if (const auto bytes = members.Number("bytes_sent")) {
        station.last_bytes = static_cast<std::uint64_t>(*bytes);
    }
    if (event == "status") {
        station.stage = members.String("text").value_or("");
        if (!StartsWith(station.stage, "Downloading packet")) {
            view_.StationText(station, station.stage);
        }
    } else if (event == "message-box") {
        view_.StationText(station, members.String("caption").value_or("") + ": " +
                                       members.String("text").value_or(""));
    } else if (event == "progress-range") {
        // The seek's range counts addresses: a station shows packets once it sends them.
        station.progress_shown = !StartsWith(station.stage, "Seeking drives");
        station.range_high = static_cast<int>(members.Number("high").value_or(0));
        station.position = static_cast<int>(members.Number("low").value_or(0));
        station.range_start_ms = station.last_ms;
        station.range_start_bytes = station.last_bytes;
        station.progress_ms = station.last_ms;
    } else if (event == "progress") {
        station.position = static_cast<int>(members.Number("position").value_or(0));
        station.progress_ms = station.last_ms;
    } else if (event == "history" && !station.attempts.empty()) {
        Attempt& attempt = station.attempts.back();
        attempt.recorded =
            members.Bool("written").value_or(false) || members.Bool("queued").value_or(false);
        attempt.history_error = members.String("error").value_or("");
        attempt.record_id = members.String("id").value_or("");
    } else if (event == "summary" && !station.attempts.empty()) {
        station.summary_seen = true;
        Attempt& attempt = station.attempts.back();
        attempt.record = std::string(line);
        attempt.result = members.String("result").value_or(kStationFailed);
        attempt.meaning = members.String("meaning").value_or("");
        attempt.detail = members.String("detail").value_or("");
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
    const bool will_retry = ended.result == kStationFailed && ended.status != records::kExitUsage &&
                            static_cast<long>(station.attempts.size()) <= settings_.retries &&
                            platform::CountedInterruptions() == 0 && !station.kill_at;
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

void Line::PassOnSignals() {
    const int signals = platform::CountedInterruptions();
    if (signals > signals_passed_) {
        // A second Ctrl-C ends the stations at once, as it ends a single run.
        signals_passed_ = signals;
        const int signal_number = platform::FirstCountedSignal();
        for (Station& station : stations_) {
            if (station.state == Station::State::Running) {
                station.process.Interrupt(signal_number);
            }
        }
        if (!kill_at_) {
            kill_at_ = std::chrono::steady_clock::now() + kInterruptGrace;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (Station& station : stations_) {
        if (station.state == Station::State::Running && station.kill_at &&
            now >= *station.kill_at && !station.killed_by_line) {
            station.killed_by_line = true;
            station.process.Kill();
        }
    }
    if (kill_at_ && now >= *kill_at_) {
        for (Station& station : stations_) {
            if (station.state == Station::State::Running && !station.killed_by_line) {
                station.killed_by_line = true;
                station.process.Kill();
            }
        }
    }
}

// Waits until some stations have written something or ended, and takes what came from those.
void Line::Watch() {
    std::vector<StationProcess*> running;
    for (Station& station : stations_) {
        if (station.state == Station::State::Running) {
            running.push_back(&station.process);
        }
    }
    const std::vector<StationProcess*> ready = WaitForStations(running);
    for (Station& station : stations_) {
        if (station.state != Station::State::Running ||
            std::find(ready.begin(), ready.end(), &station.process) == ready.end()) {
            continue;
        }
        auto on_event = [&](std::string_view line) { OnEvent(station, line); };
        auto on_error = [&](std::string_view line) {
            if (!line.empty()) {
                station.last_error_line = std::string(line);
            }
        };
        if (const auto exit = station.process.TakeOutput(on_event, on_error)) {
            EndAttempt(station, Judge(station, station.attempts.back(), *exit));
        }
    }
}

bool Line::Step() {
    PassOnSignals();
    StartWaiting();
    if (Running() == 0) {
        return false;
    }
    view_.Refresh(stations_, false);
    Watch();
    return true;
}

void Line::HoldAll() {
    for (Station& station : stations_) {
        if (station.state == Station::State::Waiting && station.attempts.empty()) {
            station.state = Station::State::Done;
            station.result = kStationNotStarted;
        }
    }
}

bool Line::Start(std::size_t index, const records::UnitFields& unit) {
    if (index >= stations_.size() || stations_[index].state != Station::State::Done) {
        return false;
    }
    Station& station = stations_[index];
    station.start_unit = unit;
    station.attempts.clear();
    station.result.clear();
    station.status = -1;
    station.stage.clear();
    station.progress_shown = false;
    station.position = 0;
    station.range_high = 0;
    // Nor the last run's bytes: until it sends, the new run has sent none.
    station.last_bytes = 0;
    station.last_ms = 0;
    station.state = Station::State::Waiting;
    return true;
}

bool Line::Stop(std::size_t index) {
    if (index >= stations_.size()) {
        return false;
    }
    Station& station = stations_[index];
    if (station.state == Station::State::Waiting) {
        station.state = Station::State::Done;
        station.result = station.attempts.empty() ? kStationNotStarted : kStationInterrupted;
        station.ended = std::chrono::steady_clock::now();
        return true;
    }
    if (station.state != Station::State::Running || station.kill_at) {
        return false;
    }
    station.process.Interrupt(SIGINT);
    station.kill_at = std::chrono::steady_clock::now() + kInterruptGrace;
    return true;
}

std::string Line::TrafficLogOf(const Station& station) const {
    if (traffic_log_folder_.empty()) {
        return "";
    }
    return traffic_log_folder_ + "/station-" + std::to_string(station.number) + ".log";
}

void Line::Run() {
    while (Step()) {
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
    if (const int signal_number = platform::FirstCountedSignal(); signal_number != 0) {
        return records::kExitSignalBase + signal_number;
    }
    const bool all = std::all_of(stations_.begin(), stations_.end(),
                                 [](const Station& s) { return s.result == kStationSuccess; });
    return all ? records::kExitSuccess : records::kExitSomeStationsFailed;
}

}  // namespace vantor::line
