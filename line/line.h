// The production line's schedule: its stations, each attempt of each, and when each starts, ends,
// is tried again or is stopped. The same on every system: the stations' child processes are
// started and watched through station_process.h.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line/files_list_copies.h"
#include "line/line_observer.h"
#include "line/line_options.h"
#include "line/station.h"

namespace vantor::line {

// The runs of a line's stations whose record the history could not keep (neither written nor
// queued for a site's database): how many, and why the last of them was not.
struct UnrecordedRuns {
    int count = 0;
    std::string reason;
};
UnrecordedRuns UnrecordedRunsOf(const Station& station);
UnrecordedRuns UnrecordedRunsOf(const std::vector<Station>& stations);

// The unit of the station's current or next run: the station's own fields (its line of the
// ports file), and over them those its last start gave.
records::UnitFields RunUnitOf(const Station& station);

class Line {
  public:
    // A station for each port of `settings`, shown to `view`; both must outlive the line.
    Line(const LineSettings& settings, LineObserver& view);

    // Runs every station to its end: at most --max-parallel at once, failed ones again up to
    // --retry times, no new one after an interruption (or after a failure with
    // --stop-on-first-failure). Interruptions counted by the console's counting handlers are
    // passed on to the running stations; those still running 30 s after the first are killed.
    void Run();
    // One round of Run(): interruptions passed on, waiting stations started, then a wait of at
    // most a short while for what the running ones write or come to. False, without a wait, when
    // no station is running.
    bool Step();

    // A line that runs its stations on demand (vantor-cli serve) rather than all from the start.
    // Holds every station that has not started: it stays not-started until Start().
    void HoldAll();
    // Makes a station that is not running or waiting to run wait for its turn, with a fresh run
    // (its earlier attempts forgotten) for the unit `unit` names: its fields that are set stand
    // for the station's own in this run. False when it is already running or waiting.
    bool Start(std::size_t index, const records::UnitFields& unit = {});
    // Stops a station: one waiting to run goes back to not-started; a running one is interrupted
    // as Ctrl-C interrupts a line, and killed when it has not ended within 30 s. False when it
    // was neither.
    bool Stop(std::size_t index);
    // Each station's child keeps its traffic log at `folder`/station-N.log, the last attempt's.
    void KeepTrafficLogsIn(const std::string& folder) { traffic_log_folder_ = folder; }
    std::string TrafficLogOf(const Station& station) const;
    // Called with every line of every station's event stream, after the line has read it.
    void OnStationEvent(std::function<void(const Station&, std::string_view)> listener) {
        event_listener_ = std::move(listener);
    }
    // 0 when every station succeeded, 30 when some did not, 128 + the signal when interrupted.
    int ExitStatus() const;
    const std::vector<Station>& Stations() const { return stations_; }
    // The stations' copies of the files list, made when the line was.
    const FilesListCopies& FilesLists() const { return lists_; }
    std::chrono::system_clock::time_point Started() const { return started_; }
    std::chrono::system_clock::time_point Ended() const { return ended_; }

  private:
    void StartWaiting();
    void StartAttempt(Station& station);
    void EndAttempt(Station& station, Attempt attempt);
    void OnEvent(Station& station, std::string_view line);
    void Watch();
    void PassOnSignals();
    int Running() const;

    const LineSettings& settings_;
    LineObserver& view_;
    FilesListCopies lists_;
    std::vector<Station> stations_;
    bool any_failed_ = false;
    int signals_passed_ = 0;
    std::optional<std::chrono::steady_clock::time_point> kill_at_;
    std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
    std::chrono::system_clock::time_point ended_;
    std::string traffic_log_folder_;
    std::function<void(const Station&, std::string_view)> event_listener_;
};

}  // namespace vantor::line
