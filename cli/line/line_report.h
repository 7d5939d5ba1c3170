// The line's report: one JSON document for the whole line with an entry per station and per
// attempt (each attempt's own run record in it, verbatim, which names the device, the drive and
// every image as sent), as the --report file and the line-summary event carry it. It names the
// machine and the line's images with their sizes and SHA-256 as the line found them when it
// started. The same on every system.
#pragma once

#include <string>

#include "line/line.h"
#include "line/line_options.h"
#include "platform/result.h"
#include "records/json_writer.h"
#include "records/run_record.h"

namespace vantor::cli {

// What the line was given, read before its stations start: the machine and the images.
records::RunStart DescribeLine(const line::LineSettings& settings);
// What is wrong with the line's --report, found before any station starts; success when it
// will do or none was asked for.
Result<void> LineReportProblem(const line::LineSettings& settings);
// The report's fields for the line that has run. `report_problem`, when not empty, says why the
// report could not be written: the line then fails with its own status.
records::JsonObject LineReportFields(const line::LineSettings& settings, const line::Line& line,
                                     const records::RunStart& given,
                                     const std::string& report_problem = "");
// Writes the line's report when one was asked for; the exit status, kExitReportUnwritten when
// it could not be written (`fields` then say so, and the old report is withdrawn).
int KeepLineReport(const line::LineSettings& settings, const line::Line& line,
                   const records::RunStart& given, records::JsonObject& fields);

}  // namespace vantor::cli
