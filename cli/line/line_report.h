// The line's report: one JSON document for the whole line with an entry per station and per
// attempt (each attempt's own run record in it, verbatim), as the --report file and the
// line-summary event carry it. The same on every system.
#pragma once

#include <string>

#include "cli/console/json_writer.h"
#include "cli/line/line.h"
#include "cli/line/line_options.h"

namespace vantor::cli {

// The report's fields for the line that has run.
JsonObject LineReportFields(const LineSettings& settings, const Line& line);

}  // namespace vantor::cli
