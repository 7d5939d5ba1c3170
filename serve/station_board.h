// What the dashboard and the API show of a served line: each station's state, stage, progress,
// speed, drive identity, result and times, the image and the line's totals, as JSON.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "line/line.h"
#include "records/json_writer.h"
#include "serve/line_control.h"
#include "serve/line_metrics.h"

namespace vantor::serve {

class StationBoard {
  public:
    // `image` is what the stations download: the image or the files list.
    StationBoard(const line::Line& line, std::string image);

    // One line of a station's event stream (Line::OnStationEvent): the drive's identity.
    void OnEvent(const line::Station& station, std::string_view line);
    // Takes the stations' ends since the last call into the totals; true when some state
    // changed (a station started or ended).
    bool Update();
    // Reads the image's digest again (a start may download a changed file).
    void ReadImage();

    // "idle", "running", "stopping" (asked to stop, not yet ended), "success", "warned" (passed
    // with warnings), "stopped" (by the operator) or "failed".
    static const char* StateOf(const line::Station& station);
    std::string StationsJson() const;
    std::string StationJsonText(std::size_t index) const;
    // A start of station `index` began a new run, `id`.
    void BeginRun(std::size_t index, const std::string& id);
    // The id of station `index`'s current or last run begun by a start; empty when none.
    const std::string& RunIdOf(std::size_t index) const;
    // The run's object of /api/runs/{id}: its id, whether it has ended, its station, its record.
    RunView RunOf(std::size_t index) const;
    // The live stream's object: {"line": {...}, "stations": [...]}.
    std::string StateJson() const;
    // The figures of /metrics.
    std::string MetricsText() const;

  private:
    // What the drive said of itself in the last run.
    struct Identity {
        std::string word;  // "0x2083", from the run record
        std::string version;
        std::string revision;
        std::string address;
    };

    records::JsonObject StationJson(const line::Station& station) const;
    records::JsonObject ProgressJson(const line::Station& station) const;
    records::JsonObject OutcomeJson(const line::Station& station) const;
    records::JsonObject WindowJson() const;
    std::string IdentityText(std::size_t index) const;

    const line::Line& line_;
    std::string image_;
    std::string image_sha256_;
    long long image_bytes_ = -1;
    std::vector<Identity> identity_;
    std::vector<bool> packets_;  // per station: its progress counts the image's packets
    std::vector<std::string> last_state_;
    // Per station: the id of its current or last run that a start began.
    std::vector<std::string> run_ids_;
    // Since the server started.
    long passed_ = 0;  // with warnings or without
    long warned_ = 0;
    long failed_ = 0;
    long stopped_ = 0;           // by the operator: no failure
    long not_recorded_ = 0;      // runs whose record the history could not keep
    std::string history_error_;  // why the last of them was not kept
    // When each run of the last hour ended, and how ("success", "warned", ...).
    static constexpr std::chrono::hours kWindow{1};
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> ends_;
    LineMetrics metrics_;
    bool any_started_ = false;
    std::chrono::steady_clock::time_point first_start_{};
    std::chrono::system_clock::time_point serving_since_ = std::chrono::system_clock::now();
};

// An instant as "2026-12-07T23:10:04.120Z".
std::string IsoTime(std::chrono::system_clock::time_point when);

}  // namespace vantor::serve
