#include "serve/station_board.h"

#include <ctime>
#include <filesystem>

#include "image/sha256.h"
#include "platform/stop_handlers.h"
#include "records/json_reader.h"

namespace vantor::serve {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

constexpr double kLeastSpeedSpanS = 0.5;

std::chrono::system_clock::time_point WallTimeOf(SteadyTime when) {
    const auto ago = std::chrono::steady_clock::now() - when;
    return std::chrono::system_clock::now() -
           std::chrono::duration_cast<std::chrono::system_clock::duration>(ago);
}

double Seconds(SteadyTime from, SteadyTime to) {
    return std::chrono::duration<double>(to - from).count();
}

// What a passed run met on its way, from its run record: a pass with any of these is a pass
// with warnings.
struct RunWarnings {
    long long missing = 0;
    long long unrecognised = 0;
    long long protected_memory = 0;
    bool Any() const { return missing + unrecognised + protected_memory > 0; }
};

RunWarnings WarningsOf(const line::Station& station) {
    RunWarnings warnings;
    if (station.attempts.empty() || station.attempts.back().record.empty()) {
        return warnings;
    }
    const records::JsonMembers record(station.attempts.back().record);
    auto count = [&record](const char* key) {
        return static_cast<long long>(record.Number(key).value_or(0));
    };
    warnings.missing = count("missing_responses");
    warnings.unrecognised = count("unrecognised_responses");
    warnings.protected_memory = count("protected_memory_warnings");
    return warnings;
}

bool Active(const std::string& state) {
    return state == "running" || state == "stopping";
}

}  // namespace

std::string IsoTime(std::chrono::system_clock::time_point when) {
    const auto since = when.time_since_epoch();
    const std::time_t seconds =
        static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis));
    return text;
}

StationBoard::StationBoard(const line::Line& line, std::string image)
    : line_(line),
      image_(std::move(image)),
      identity_(line.Stations().size()),
      packets_(line.Stations().size()),
      last_state_(line.Stations().size()),
      run_ids_(line.Stations().size()) {
    ReadImage();
    Update();
}

void StationBoard::ReadImage() {
    if (const auto digest = DigestFile(image_)) {
        image_sha256_ = digest->sha256;
        image_bytes_ = digest->size_bytes;
    } else {
        image_sha256_.clear();
        image_bytes_ = -1;
    }
}

const char* StationBoard::StateOf(const line::Station& station) {
    if (station.state != line::Station::State::Done) {
        // Asked to stop (the station alone, or the whole line) and not yet ended.
        return station.kill_at || platform::CountedInterruptions() > 0 ? "stopping" : "running";
    }
    if (station.result == line::kStationNotStarted) {
        return "idle";
    }
    if (station.result == line::kStationSuccess) {
        return WarningsOf(station).Any() ? "warned" : "success";
    }
    // Stopped by the operator (or by the line's own interruption): no fault of the drive's.
    return station.result == line::kStationInterrupted ? "stopped" : "failed";
}

void StationBoard::OnEvent(const line::Station& station, std::string_view line) {
    const auto index = static_cast<std::size_t>(station.number - 1);
    if (index >= identity_.size()) {
        return;
    }
    const records::JsonMembers members(line);
    const std::string event = members.String("event").value_or("");
    Identity& identity = identity_[index];
    if (event == "start") {
        identity = Identity{};
        packets_[index] = false;
    } else if (event == "progress-range") {
        // The first range counts the addresses tried while seeking; the image's packets come
        // after.
        packets_[index] = station.stage != "Seeking drives...";
    } else if (event == "label") {
        const std::string display = members.String("display").value_or("");
        const std::string text = members.String("text").value_or("");
        if (display == "VersionLabel") {
            identity.version = text;
        } else if (display == "RevisionLabel") {
            identity.revision = text;
        } else if (display == "AddressLabel") {
            identity.address = text;
        }
    } else if (event == "summary") {
        if (const auto word = members.Number("ident_word"); word && *word >= 0) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(*word) & 0xFFFFu);
            identity.word = text;
        }
    }
}

std::string StationBoard::IdentityText(std::size_t index) const {
    if (index >= identity_.size()) {
        return "";
    }
    const Identity& identity = identity_[index];
    std::string text;
    auto add = [&text](const std::string& part) {
        if (!part.empty()) {
            text += (text.empty() ? "" : ", ") + part;
        }
    };
    add(identity.word);
    add(identity.version.empty() ? "" : "version " + identity.version);
    add(identity.revision);
    add(identity.address.empty() ? "" : "address " + identity.address);
    return text;
}

bool StationBoard::Update() {
    bool changed = false;
    const auto& stations = line_.Stations();
    for (std::size_t i = 0; i < stations.size(); ++i) {
        const std::string state = StateOf(stations[i]);
        if (state == last_state_[i]) {
            continue;
        }
        changed = true;
        if (Active(last_state_[i]) && !Active(state)) {
            passed_ += state == "success" || state == "warned" ? 1 : 0;
            warned_ += state == "warned" ? 1 : 0;
            failed_ += state == "failed" ? 1 : 0;
            stopped_ += state == "stopped" ? 1 : 0;
            ends_.emplace_back(std::chrono::steady_clock::now(), state);
            metrics_.RunEnded(state, Seconds(stations[i].first_started, stations[i].ended),
                              stations[i].last_bytes);
            const line::UnrecordedRuns unrecorded = UnrecordedRunsOf(stations[i]);
            not_recorded_ += unrecorded.count;
            metrics_.HistoryWriteFailed(unrecorded.count);
            if (unrecorded.count > 0) {
                history_error_ = unrecorded.reason;
            }
        }
        if (state == "running" && !Active(last_state_[i])) {
            if (!any_started_) {
                first_start_ = std::chrono::steady_clock::now();
            }
            any_started_ = true;
            identity_[i] = Identity{};
            packets_[i] = false;
        }
        last_state_[i] = state;
    }
    while (!ends_.empty() && std::chrono::steady_clock::now() - ends_.front().first > kWindow) {
        ends_.pop_front();
    }
    return changed;
}

// The runs that ended within the last hour, by how they ended.
records::JsonObject StationBoard::WindowJson() const {
    const auto since = std::chrono::steady_clock::now() - kWindow;
    long passed = 0, warned = 0, failed = 0, stopped = 0;
    for (const auto& [when, state] : ends_) {
        if (when < since) {
            continue;
        }
        passed += state == "success" || state == "warned" ? 1 : 0;
        warned += state == "warned" ? 1 : 0;
        failed += state == "failed" ? 1 : 0;
        stopped += state == "stopped" ? 1 : 0;
    }
    records::JsonObject window;
    window.Integer("seconds", std::chrono::duration_cast<std::chrono::seconds>(kWindow).count())
        .Integer("passed", passed)
        .Integer("warned", warned)
        .Integer("failed", failed)
        .Integer("stopped", stopped);
    return window;
}

records::JsonObject StationBoard::ProgressJson(const line::Station& station) const {
    const auto index = static_cast<std::size_t>(station.number - 1);
    const bool counting = station.progress_shown && index < packets_.size() && packets_[index];
    records::JsonObject object;
    object.String("stage", station.stage)
        .Integer("packets_sent", counting ? station.position : 0)
        .Integer("packets_total", counting ? station.range_high : 0);
    object.Unsigned("bytes_sent", station.last_bytes);
    // Speeds over the packets so far, once there is half a second to measure: a rate over the
    // first packet's few milliseconds means nothing.
    const double span_s = (station.last_ms - station.range_start_ms) / 1000.0;
    const bool measured = counting && span_s >= kLeastSpeedSpanS;
    object.Fixed3("bytes_per_second",
                  measured
                      ? static_cast<double>(station.last_bytes - station.range_start_bytes) / span_s
                      : 0.0);
    object.Fixed3("packets_per_second", measured ? station.position / span_s : 0.0);
    const std::string identity = IdentityText(index);
    object.StringOrNull("identity",
                        identity.empty() ? std::nullopt : std::optional<std::string>(identity));
    return object;
}

// What the last run came to: its exit status, what it said, what it met, its record.
records::JsonObject StationBoard::OutcomeJson(const line::Station& station) const {
    const line::Attempt* attempt = station.attempts.empty() ? nullptr : &station.attempts.back();
    const bool done = station.state == line::Station::State::Done;
    records::JsonObject object;
    object.IntegerOrNull("exit_status", done && attempt != nullptr && attempt->status >= 0
                                            ? std::optional<long long>(attempt->status)
                                            : std::nullopt);
    std::string detail;
    if (attempt != nullptr && done) {
        detail = attempt->meaning;
        if (attempt->detail.rfind(detail, 0) == 0) {
            detail = attempt->detail;  // which says the meaning already
        } else if (!attempt->detail.empty()) {
            detail += (detail.empty() ? "" : ": ") + attempt->detail;
        }
    }
    object.String("detail", detail);
    const RunWarnings warnings = WarningsOf(station);
    if (done && warnings.Any()) {
        object.Object("warnings", records::JsonObject()
                                      .Integer("missing_responses", warnings.missing)
                                      .Integer("unrecognised_responses", warnings.unrecognised)
                                      .Integer("protected_memory", warnings.protected_memory));
    } else {
        object.Null("warnings");
    }
    if (attempt != nullptr && attempt->recorded) {
        object.Bool("recorded", *attempt->recorded);
    } else {
        object.Null("recorded");
    }
    object.StringOrNull("history_error", attempt != nullptr && !attempt->history_error.empty()
                                             ? std::optional<std::string>(attempt->history_error)
                                             : std::nullopt);
    return object;
}

records::JsonObject StationBoard::StationJson(const line::Station& station) const {
    const bool ran = !station.attempts.empty();
    const line::Attempt* attempt = ran ? &station.attempts.back() : nullptr;
    const bool done = station.state == line::Station::State::Done;
    const std::string state = StateOf(station);
    records::JsonObject object;
    object.Integer("number", station.number)
        .String("port", station.port)
        .StringOrNull("device", attempt != nullptr && !attempt->device.empty()
                                    ? std::optional<std::string>(attempt->device)
                                    : std::nullopt)
        .String("state", state)
        .StringOrNull("result", done && state != "idle" && !station.result.empty()
                                    ? std::optional<std::string>(station.result)
                                    : std::nullopt)
        .Append(ProgressJson(station))
        .Append(OutcomeJson(station));
    object.Integer("attempt", ran ? attempt->number : 0);
    object.StringOrNull("started",
                        ran ? std::optional<std::string>(IsoTime(WallTimeOf(station.first_started)))
                            : std::nullopt);
    object.StringOrNull("ended",
                        ran && done ? std::optional<std::string>(IsoTime(WallTimeOf(station.ended)))
                                    : std::nullopt);
    object.Fixed3("elapsed_s",
                  ran ? Seconds(station.first_started,
                                done ? station.ended : std::chrono::steady_clock::now())
                      : 0.0);
    const std::string log = line_.TrafficLogOf(station);
    std::error_code ignored;
    object.Bool("traffic_log", ran && !log.empty() && std::filesystem::exists(log, ignored));
    const auto index = static_cast<std::size_t>(station.number - 1);
    const bool begun = index < run_ids_.size() && !run_ids_[index].empty();
    object.StringOrNull("run_id", begun ? std::optional(run_ids_[index]) : std::nullopt);
    // Its record in the history, once the run has said it: the id of /api/history.
    object.StringOrNull("record_id", attempt != nullptr && !attempt->record_id.empty()
                                         ? std::optional(attempt->record_id)
                                         : std::nullopt);
    // The unit of its current or last run (or of its next, from the ports file).
    records::AddUnitFields(object, line::RunUnitOf(station));
    return object;
}

std::string StationBoard::StationJsonText(std::size_t index) const {
    return index < line_.Stations().size() ? StationJson(line_.Stations()[index]).Text() : "";
}

void StationBoard::BeginRun(std::size_t index, const std::string& id) {
    if (index < run_ids_.size()) {
        run_ids_[index] = id;
    }
}

const std::string& StationBoard::RunIdOf(std::size_t index) const {
    static const std::string none;
    return index < run_ids_.size() ? run_ids_[index] : none;
}

RunView StationBoard::RunOf(std::size_t index) const {
    const line::Station& station = line_.Stations().at(index);
    const bool done = station.state == line::Station::State::Done;
    const std::string record =
        done && !station.attempts.empty() ? station.attempts.back().record : "";
    records::JsonObject run;
    run.String("id", run_ids_.at(index))
        .Bool("done", done)
        .Object("station", StationJson(station))
        .VerbatimOrNull("record", record);
    return {run.Text(), done};
}

std::string StationBoard::StationsJson() const {
    records::JsonArray array;
    for (const line::Station& station : line_.Stations()) {
        array.Object(StationJson(station));
    }
    return array.Text();
}

std::string StationBoard::StateJson() const {
    long running = 0;
    for (const line::Station& station : line_.Stations()) {
        running += station.state != line::Station::State::Done ? 1 : 0;
    }
    const double hours =
        any_started_ ? Seconds(first_start_, std::chrono::steady_clock::now()) / 3600.0 : 0.0;
    records::JsonObject totals;
    totals.Integer("stations", static_cast<long long>(line_.Stations().size()))
        .Integer("running", running)
        .Integer("passed", passed_)
        .Integer("warned", warned_)
        .Integer("failed", failed_)
        .Integer("stopped", stopped_)
        .Integer("not_recorded", not_recorded_)
        .String("history_error", history_error_)
        // Not before a minute has passed: one pass in a second is no rate.
        .Fixed3("passed_per_hour", hours >= 1.0 / 60 ? passed_ / hours : 0.0);
    records::JsonObject image;
    image.String("name", std::filesystem::path(image_).filename().string())
        .StringOrNull("sha256", image_sha256_.empty() ? std::nullopt
                                                      : std::optional<std::string>(image_sha256_))
        .IntegerOrNull("size_bytes",
                       image_bytes_ >= 0 ? std::optional<long long>(image_bytes_) : std::nullopt);
    records::JsonObject line_object;
    line_object.Object("image", image)
        .Object("totals", totals)
        .Object("last_hour", WindowJson())
        .String("serving_since", IsoTime(serving_since_))
        .String("now", IsoTime(std::chrono::system_clock::now()));
    return "{\"line\":" + line_object.Text() + ",\"stations\":" + StationsJson() + "}";
}

std::string StationBoard::MetricsText() const {
    std::vector<std::string> states;
    std::uint64_t running_bytes = 0;
    for (const line::Station& station : line_.Stations()) {
        states.push_back(StateOf(station));
        running_bytes += Active(states.back()) ? station.last_bytes : 0;
    }
    return metrics_.Text(states, running_bytes);
}

}  // namespace vantor::serve
