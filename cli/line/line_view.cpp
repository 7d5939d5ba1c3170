#include "cli/line/line_view.h"

#include <algorithm>

#include "cli/console/console_output.h"
#include "line/line.h"
#include "platform/terminal.h"
#include "records/exit_status.h"
#include "records/json_reader.h"
#include "records/json_writer.h"

namespace vantor::cli {

namespace {

constexpr auto kRefreshInterval = std::chrono::milliseconds(100);
constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
constexpr std::size_t kPortColumn = 22;
constexpr std::size_t kStageColumn = 30;

std::string Fit(const std::string& text, std::size_t width) {
    std::string fitted = text.size() > width ? text.substr(0, width - 1) + "~" : text;
    fitted.resize(width, ' ');
    return fitted;
}

// A stage whole, in a column as wide as the longest stage shown; only a terminal too narrow for
// it cuts the stage, and then after a whole word.
std::string FitWords(const std::string& text, std::size_t width) {
    if (text.size() <= width) {
        return Fit(text, width);
    }
    std::size_t cut = text.rfind(' ', width - 1);
    while (cut != std::string::npos && cut > 0 && text[cut - 1] == ' ') {
        --cut;
    }
    return Fit(cut == std::string::npos || cut == 0 ? text.substr(0, width - 1) + "~"
                                                    : text.substr(0, cut) + " ~",
               width);
}

// The room a row leaves for its stage on a terminal `columns` wide: the number, the port, the
// packets, the rate, the time and a short result beside it.
constexpr std::size_t kBesideStage = 3 + 2 + kPortColumn + 1 + 1 + 9 + 1 + 9 + 1 + 6 + 2 + 10;

std::string MinutesSeconds(double seconds) {
    const long whole = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// A text of the job may hold line ends (a message box's two lines); a row holds one line.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

std::string StationName(const line::Station& station) {
    return "station " + std::to_string(station.number) + " " + station.port;
}

std::string ResultText(const line::Station& station) {
    if (station.state == line::Station::State::Waiting) {
        return station.attempts.empty() ? "waiting" : "retry waits";
    }
    if (station.state == line::Station::State::Running) {
        return station.attempts.size() > 1 ? "attempt " + std::to_string(station.attempts.size())
                                           : "";
    }
    if (station.result == line::kStationSuccess || station.result == line::kStationNotStarted) {
        return station.result;
    }
    return station.result + " " + std::to_string(station.status);
}

// The warnings that a station's run let pass, from its run record, as they follow "success":
// ", 8 protected-memory warnings"; empty when there were none or there is no record.
std::string Warnings(const line::Attempt& attempt) {
    const records::JsonMembers record(attempt.record);
    const auto count = [&record](const char* field) {
        return static_cast<int>(record.Number(field).value_or(0));
    };
    return records::WarningWords(count("protected_memory_warnings"), count("missing_responses"),
                                 count("unrecognised_responses"),
                                 count("invalid_command_responses"));
}

// The cause of a failure, or the warnings of a success.
std::string Detail(const line::Attempt* last, bool success) {
    if (last == nullptr) {
        return "";
    }
    if (success) {
        const std::string warnings = Warnings(*last);
        return warnings.empty() ? "" : warnings.substr(2);
    }
    return OneLine(last->meaning + (last->detail.empty() ? "" : ": ") + last->detail);
}

// The warnings of every station's last run, added up, as they follow "success".
std::string LineWarnings(const std::vector<line::Station>& stations) {
    int protected_memory = 0, missing = 0, unrecognised = 0, invalid_command = 0;
    for (const line::Station& station : stations) {
        if (station.attempts.empty()) {
            continue;
        }
        const records::JsonMembers record(station.attempts.back().record);
        const auto count = [&record](const char* field) {
            return static_cast<int>(record.Number(field).value_or(0));
        };
        protected_memory += count("protected_memory_warnings");
        missing += count("missing_responses");
        unrecognised += count("unrecognised_responses");
        invalid_command += count("invalid_command_responses");
    }
    return records::WarningWords(protected_memory, missing, unrecognised, invalid_command);
}

}  // namespace

LineView::LineView(OutputMode mode, std::FILE* out, std::FILE* err)
    : mode_(mode), out_(out), err_(err), start_(std::chrono::steady_clock::now()) {}

double LineView::SinceStartMs() const {
    return Seconds(std::chrono::steady_clock::now() - start_) * 1e3;
}

void LineView::Emit(const std::string& json) {
    std::fputs(json.c_str(), out_);
    std::fputc('\n', out_);
    FlushOutput(out_);
}

void LineView::StationStarted(const line::Station& station, const line::Attempt& attempt) {
    if (mode_ == OutputMode::Json) {
        Emit(records::JsonObject()
                 .String("event", "station-start")
                 .Integer("station", station.number)
                 .Fixed3("time_ms", SinceStartMs())
                 .String("port", station.port)
                 .String("device", attempt.device)
                 .Integer("attempt", attempt.number)
                 .Integer("pid", attempt.pid)
                 .Text());
    } else if (mode_ == OutputMode::Plain) {
        std::fprintf(out_, "%s: attempt %d on %s\n", StationName(station).c_str(), attempt.number,
                     attempt.device.c_str());
        FlushOutput(out_);
    }
}

void LineView::StationEvent(const line::Station& station, std::string_view line) {
    if (mode_ != OutputMode::Json) {
        return;
    }
    // Every event of the stream begins {"event":"NAME"; the station goes right after it.
    constexpr std::string_view kBegin = "{\"event\":\"";
    const std::size_t name_end =
        line.rfind(kBegin, 0) == 0 ? line.find('"', kBegin.size()) : std::string_view::npos;
    if (name_end == std::string_view::npos) {
        return;
    }
    std::string passed(line.substr(0, name_end + 1));
    passed += ",\"station\":" + std::to_string(station.number);
    passed += line.substr(name_end + 1);
    Emit(passed);
}

void LineView::StationText(const line::Station& station, const std::string& text) {
    if (mode_ == OutputMode::Plain) {
        std::fprintf(out_, "%s: %s\n", StationName(station).c_str(), OneLine(text).c_str());
        FlushOutput(out_);
    }
}

void LineView::StationEnded(const line::Station& station, const line::Attempt& attempt,
                            bool will_retry) {
    const std::string retry = will_retry ? " (tried again)" : "";
    if (mode_ == OutputMode::Json) {
        Emit(records::JsonObject()
                 .String("event", "station-end")
                 .Integer("station", station.number)
                 .Fixed3("time_ms", SinceStartMs())
                 .Integer("attempt", attempt.number)
                 .String("result", attempt.result)
                 .Integer("status", attempt.status)
                 .String("detail", attempt.detail)
                 .Fixed3("cpu_s", attempt.cpu_s)
                 .Integer("max_rss_kib", attempt.max_rss_kib)
                 .Bool("retry", will_retry)
                 .Text());
    } else if (mode_ == OutputMode::Plain) {
        const std::string warnings =
            attempt.status == records::kExitSuccess ? Warnings(attempt) : "";
        std::fprintf(out_, "%s: %s %d %s%s%s%s%s\n", StationName(station).c_str(),
                     attempt.result.c_str(), attempt.status, attempt.meaning.c_str(),
                     warnings.c_str(), attempt.detail.empty() ? "" : ": ",
                     OneLine(attempt.detail).c_str(), retry.c_str());
        FlushOutput(out_);
    }
}

std::string LineView::Row(const line::Station& station, std::size_t stage_width) const {
    std::string packets;
    std::string rate;
    if (station.progress_shown) {
        packets = std::to_string(station.position) + "/" + std::to_string(station.range_high);
        const double seconds = (station.progress_ms - station.range_start_ms) / 1e3;
        const std::uint64_t bytes = station.last_bytes - station.range_start_bytes;
        if (seconds > 0 && bytes > 0) {
            rate = std::to_string(static_cast<long>(static_cast<double>(bytes) / seconds)) + " B/s";
        }
    }
    double elapsed = 0;
    if (!station.attempts.empty()) {
        const auto until = station.state == line::Station::State::Done
                               ? station.ended
                               : std::chrono::steady_clock::now();
        elapsed = Seconds(until - station.first_started);
    }
    char row[512];
    std::snprintf(row, sizeof row, "%3d  %s %s %9s %9s %6s  %s", station.number,
                  Fit(station.port, kPortColumn).c_str(),
                  FitWords(OneLine(station.stage), stage_width).c_str(), packets.c_str(),
                  rate.c_str(), station.attempts.empty() ? "" : MinutesSeconds(elapsed).c_str(),
                  ResultText(station).c_str());
    return row;
}

void LineView::Refresh(const std::vector<line::Station>& stations, bool force) {
    if (mode_ != OutputMode::Terminal) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_refresh_ < kRefreshInterval) {
        return;
    }
    last_refresh_ = now;
    const platform::TerminalSize size =
        platform::TerminalSizeOf(out_, {kDefaultColumns, kDefaultRows});
    // Rows that scrolled off the screen cannot be redrawn: a line longer than the screen
    // shows its first stations and counts the rest.
    const std::size_t room = static_cast<std::size_t>(std::max(size.rows - 3, 1));
    const std::size_t shown = std::min(stations.size(), room);
    std::size_t longest = kStageColumn;
    for (std::size_t i = 0; i < shown; ++i) {
        longest = std::max(longest, OneLine(stations[i].stage).size());
    }
    const auto width = static_cast<std::size_t>(std::max(size.columns, 1));
    const std::size_t stage_width =
        std::min(longest, std::max(kStageColumn, width > kBesideStage ? width - kBesideStage : 0));
    std::vector<std::string> lines;
    char header[256];
    std::snprintf(header, sizeof header, "%3s  %s %s %9s %9s %6s  %s", "#",
                  Fit("port", kPortColumn).c_str(), Fit("stage", stage_width).c_str(), "packet",
                  "rate", "time", "result");
    lines.emplace_back(header);
    for (std::size_t i = 0; i < shown; ++i) {
        lines.push_back(Row(stations[i], stage_width));
    }
    if (shown < stations.size()) {
        int running = 0, succeeded = 0, failed = 0;
        for (const line::Station& station : stations) {
            running += station.state == line::Station::State::Running ? 1 : 0;
            succeeded += station.result == line::kStationSuccess ? 1 : 0;
            failed += station.state == line::Station::State::Done &&
                      station.result != line::kStationSuccess;
        }
        lines.push_back("     ... " + std::to_string(stations.size() - shown) + " more; of all: " +
                        std::to_string(running) + " running, " + std::to_string(succeeded) +
                        " succeeded, " + std::to_string(failed) + " failed");
    }
    std::string frame;
    if (drawn_rows_ > 0) {
        frame += "\x1b[" + std::to_string(drawn_rows_) + "A";
    }
    const auto columns = static_cast<std::size_t>(std::max(size.columns - 1, 1));
    for (std::string& line : lines) {
        line.resize(std::min(line.size(), columns));
        frame += "\r\x1b[K" + line + "\n";
    }
    std::fputs(frame.c_str(), out_);
    FlushOutput(out_);
    drawn_rows_ = static_cast<int>(lines.size());
}

void LineView::Finish(const std::vector<line::Station>& stations, int exit_status,
                      const records::JsonObject& line_summary) {
    if (mode_ == OutputMode::Json) {
        Emit(records::JsonObject()
                 .String("event", "line-summary")
                 .Fixed3("time_ms", SinceStartMs())
                 .Append(line_summary)
                 .Text());
        NameFailuresOnStderr(stations);
        PointToHelp(err_, exit_status);
        return;
    }
    Refresh(stations, true);
    std::string failed_names;
    int succeeded = 0;
    if (mode_ != OutputMode::Quiet) {
        std::fprintf(out_, "\n%3s  %s %-12s %6s %8s %8s  %s\n", "#",
                     Fit("port", kPortColumn).c_str(), "result", "status", "attempts", "time",
                     "detail");
    }
    for (const line::Station& station : stations) {
        const bool success = station.result == line::kStationSuccess;
        succeeded += success ? 1 : 0;
        if (!success) {
            failed_names += (failed_names.empty() ? "" : ", ") + std::to_string(station.number) +
                            " (" + station.port + ")";
        }
        if (mode_ == OutputMode::Quiet) {
            continue;
        }
        const line::Attempt* last = station.attempts.empty() ? nullptr : &station.attempts.back();
        const double seconds = last != nullptr ? Seconds(station.ended - station.first_started) : 0;
        std::fprintf(out_, "%3d  %s %-12s %6s %8zu %8s  %s\n", station.number,
                     Fit(station.port, kPortColumn).c_str(), station.result.c_str(),
                     last != nullptr ? std::to_string(station.status).c_str() : "-",
                     station.attempts.size(), MinutesSeconds(seconds).c_str(),
                     Detail(last, success).c_str());
    }
    std::fprintf(out_, "line: %d of %zu stations succeeded%s%s\n", succeeded, stations.size(),
                 failed_names.empty() ? "" : "; not succeeded: ", failed_names.c_str());
    const line::UnrecordedRuns unrecorded = UnrecordedRunsOf(stations);
    if (unrecorded.count > 0) {
        std::fprintf(out_, "history: %d run(s) not recorded: %s\n", unrecorded.count,
                     unrecorded.reason.c_str());
    }
    std::fprintf(out_, "result: %d %s%s\n", exit_status, records::ExitMeaning(exit_status).c_str(),
                 exit_status == records::kExitSuccess ? LineWarnings(stations).c_str() : "");
    FlushOutput(out_);
    NameFailuresOnStderr(stations);
    PointToHelp(err_, exit_status);
}

void LineView::NameFailuresOnStderr(const std::vector<line::Station>& stations) {
    std::string names;
    for (const line::Station& station : stations) {
        if (station.result != line::kStationSuccess) {
            names += (names.empty() ? "" : ", ") + std::to_string(station.number) + " (" +
                     station.port + ")";
        }
    }
    if (!names.empty()) {
        std::fprintf(err_, "vantor-cli: stations not succeeded: %s\n", names.c_str());
    }
    // A run whose record is lost is said where a script looks, whatever the output mode.
    if (const line::UnrecordedRuns unrecorded = UnrecordedRunsOf(stations); unrecorded.count > 0) {
        std::fprintf(err_,
                     "vantor-cli: %d run(s) of the stations not recorded in the history: %s\n",
                     unrecorded.count, unrecorded.reason.c_str());
    }
    FlushOutput(err_);
}

}  // namespace vantor::cli
