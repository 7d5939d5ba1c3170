// One station of a production line, as the parent sees it: its port, its attempts, and what
// its child's event stream has said so far.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line/station_process.h"
#include "records/unit_fields.h"

namespace vantor::line {

// Result words of a station and of an attempt.
inline constexpr const char* kStationSuccess = "success";
inline constexpr const char* kStationFailed = "failed";
inline constexpr const char* kStationKilled = "killed";  // a signal from outside the line
inline constexpr const char* kStationInterrupted = "interrupted";
inline constexpr const char* kStationNotStarted = "not-started";

struct Attempt {
    int number = 1;
    std::string device;  // what the port resolved to for this attempt
    long pid = -1;
    std::string result;
    int status = -1;  // the child's exit status, or 128 + the signal that ended it
    int signal = 0;
    std::string meaning;
    std::string detail;
    std::string record;  // the child's summary event, verbatim; empty when it wrote none
    // What the child's run said of its record in the history (its history event): nothing when
    // it said nothing (--no-history, or it ended before); false, with why in `history_error`,
    // when the record was neither written nor kept to go to a site's database later.
    std::optional<bool> recorded;
    std::string history_error;
    std::string record_id;  // the id of its record in the history, as its history event said
    double cpu_s = 0;
    long max_rss_kib = 0;
    double duration_s = 0;
};

struct Station {
    enum class State { Waiting, Running, Done };

    int number = 0;    // from 1, in the order the ports were given
    std::string port;  // as given
    records::UnitFields
        unit;  // the station's own serial, operator, order and label, when it has them
    State state = State::Waiting;
    std::vector<Attempt> attempts;
    std::string result;  // the last attempt's, or kStationNotStarted; empty while undecided
    int status = -1;

    // The running attempt.
    StationProcess process;
    // What this run's start said of its unit, over the station's own `unit` for this run.
    records::UnitFields start_unit;
    std::string last_error_line;
    bool summary_seen = false;
    bool killed_by_line = false;  // the line killed it after an interruption went unheeded
    // Stopped on its own (Line::Stop), and when it is killed if it has not ended by then.
    std::optional<std::chrono::steady_clock::time_point> kill_at;
    std::chrono::steady_clock::time_point attempt_started;
    std::chrono::steady_clock::time_point first_started;
    std::chrono::steady_clock::time_point ended;

    // What the event stream has shown, for the live view.
    std::string stage;
    int range_high = 0;
    int position = 0;
    bool progress_shown = false;
    double range_start_ms = 0;
    std::uint64_t range_start_bytes = 0;
    double last_ms = 0;
    double progress_ms = 0;  // when the last progress came, on the station's clock
    std::uint64_t last_bytes = 0;
};

}  // namespace vantor::line
