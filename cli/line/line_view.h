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
#include "line/line_observer.h"
#include "line/station.h"
#include "records/json_writer.h"

namespace vantor::cli {

class LineView : public line::LineObserver {
  public:
    LineView(OutputMode mode, std::FILE* out, std::FILE* err);

    void StationStarted(const line::Station& station, const line::Attempt& attempt) override;
    // One line of the station's event stream: passed through with --json.
    void StationEvent(const line::Station& station, std::string_view line) override;
    // A status text or message box of the station, for the plain lines.
    void StationText(const line::Station& station, const std::string& text) override;
    void StationEnded(const line::Station& station, const line::Attempt& attempt,
                      bool will_retry) override;
    // Redraws the live view; at most ten times a second unless `force`.
    void Refresh(const std::vector<line::Station>& stations, bool force) override;
    // The last live view, the summary table and the result line; `line_summary` is the
    // line-summary event's fields for --json.
    void Finish(const std::vector<line::Station>& stations, int exit_status,
                const records::JsonObject& line_summary);

  private:
    std::string Row(const line::Station& station, std::size_t stage_width) const;
    void NameFailuresOnStderr(const std::vector<line::Station>& stations);
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
