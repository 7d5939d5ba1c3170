// The production line's schedule: its stations, each attempt of each, and when each starts, ends,
// is tried again or is stopped. The same on every system: the stations' child processes are
// started and watched through station_process.h.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/line/files_list_copies.h"
#include "cli/line/line_options.h"
#include "cli/line/line_view.h"
#include "cli/line/station.h"

namespace vantor::cli {

class Line {
  public:
    // A station for each port of `settings`; both must outlive the line.
    Line(const LineSettings& settings, LineView& view);

    // Runs every station to its end: at most --max-parallel at once, failed ones again up to
    // --retry times, no new one after an interruption (or after a failure with
    // --stop-on-first-failure). Interruptions counted by the console's counting handlers are
    // passed on to the running stations; those still running 30 s after the first are killed.
    void Run();
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
    LineView& view_;
    FilesListCopies lists_;
    std::vector<Station> stations_;
    bool any_failed_ = false;
    int signals_passed_ = 0;
    std::optional<std::chrono::steady_clock::time_point> kill_at_;
    std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
    std::chrono::system_clock::time_point ended_;
};

}  // namespace vantor::cli
