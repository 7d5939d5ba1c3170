// What a production line shows: on a terminal one live view, a row per station redrawn in
// place; otherwise plain lines as stations start, change stage and end; with --json every
// station's events passed through with a "station" field; and at the end a summary table.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console/console_output.h"
#include "cli/console/json_writer.h"
#include "cli/line/station.h"

namespace vantor::cli {

class LineView {
  public:
    LineView(OutputMode mode, std::FILE* out, std::FILE* err);

    void StationStarted(const Station& station, const Attempt& attempt);
    // One line of the station's event stream: passed through with --json.
    void StationEvent(const Station& station, std::string_view line);
    // A status text or message box of the station, for the plain lines.
    void StationText(const Station& station, const std::string& text);
    void StationEnded(const Station& station, const Attempt& attempt, bool will_retry);
    // Redraws the live view; at most ten times a second unless `force`.
    void Refresh(const std::vector<Station>& stations, bool force);
    // The last live view, the summary table and the result line; `line_summary` is the
    // line-summary event's fields for --json.
    void Finish(const std::vector<Station>& stations, int exit_status,
                const JsonObject& line_summary);

  private:
    std::string Row(const Station& station) const;
    void NameFailuresOnStderr(const std::vector<Station>& stations);
    void Emit(const std::string& json);
    double SinceStartMs() const;

    OutputMode mode_;
    std::FILE* out_;
    std::FILE* err_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_refresh_{};
    int drawn_rows_ = 0;
};

}  // namespace vantor::cli
