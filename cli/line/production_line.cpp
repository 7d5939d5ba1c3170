// The production line's entry: reads and checks its arguments, runs the line with its view and
// writes its report. The same on every system.
#include "cli/line/production_line.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "cli/console/command_line.h"
#include "cli/console/console_output.h"
#include "cli/download/download_command.h"
#include "cli/line/line_report.h"
#include "cli/line/line_view.h"
#include "line/line.h"
#include "line/line_options.h"
#include "line/station_process.h"
#include "platform/stop_handlers.h"
#include "platform/terminal.h"
#include "records/exit_status.h"
#include "records/files_list_taken.h"
#include "records/run_record.h"

namespace vantor::cli {

namespace {

// The line's part of download's help, around the line's own options' table.
constexpr const char* kLineHelpHead =
    "production line (several stations at once, each in a process of its own):\n"
    "  --port PORT         given more than once: one station per port\n";
constexpr const char* kLineHelpTail =
    "  --report FILE       one JSON document for the whole line, one entry per station\n"
    "  a live row per station on a terminal; --json passes every station's events on with\n"
    "  a \"station\" field, then one line-summary event. Exit status 0 when every station\n"
    "  succeeded, 30 when some did not, 130/143 when interrupted.\n";
constexpr std::size_t kHelpColumn = 22;

int LineUsageError(const line::LineSettings& settings, const std::string& message) {
    if (settings.json) {
        WriteErrorEvent(stdout, records::kExitUsage, message);
    }
    return UsageError(line::kLineCommand, message);
}

// A files list that no station could send whole (it cannot be read, it has no line, a line of it
// has no four blanks) stops the line before any station opens its port, with the status that a
// download gives it.
int LineListFault(const line::LineSettings& settings, const records::FilesListFault& fault) {
    if (settings.json) {
        WriteErrorEvent(stdout, fault.exit_status, fault.detail);
    }
    std::fprintf(stderr, "vantor-cli %s: %s\n", line::kLineCommand, fault.detail.c_str());
    PointToHelp(stderr, fault.exit_status);
    return fault.exit_status;
}

long StationsAtOnce(const line::LineSettings& settings) {
    const auto stations = static_cast<long>(settings.ports.size());
    return settings.max_parallel > 0 ? std::min(settings.max_parallel, stations) : stations;
}

}  // namespace

const char* ProductionLineHelp() {
    static const std::string help =
        kLineHelpHead + platform::OptionsHelp(line::LineOptions(), kHelpColumn) + kLineHelpTail;
    const auto unavailable = line::StationsUnavailableHere();
    return unavailable ? unavailable->help : help.c_str();
}

int RunProductionLine(const std::vector<std::string>& arguments) {
    if (const auto unavailable = line::StationsUnavailableHere()) {
        return UsageError(line::kLineCommand, unavailable->usage_error);
    }
    // A reader of the output that goes away must not end the line with its stations running.
    platform::IgnoreBrokenPipes();
    line::LineSettings settings;
    settings.command = DownloadStationCommand();
    if (Result<void> parsed = line::ParseLine(arguments, settings); !parsed) {
        return LineUsageError(settings, parsed.reason());
    }
    if (Result<void> checked = line::CheckLine(settings); !checked) {
        return LineUsageError(settings, checked.reason());
    }
    if (Result<void> report = LineReportProblem(settings); !report) {
        return LineUsageError(settings, report.reason());
    }
    if (const auto fault = settings.files_list.empty()
                               ? std::nullopt
                               : records::FilesListFaultAt(settings.files_list)) {
        return LineListFault(settings, *fault);
    }
    // Every station that may run at once must fit under the limit on open files before the
    // first starts: a line that runs out halfway leaves some drives flashed and others not.
    if (Result<void> room = line::MakeRoomForStations(StationsAtOnce(settings)); !room) {
        return LineUsageError(settings, room.reason());
    }
    const records::RunStart given = DescribeLine(settings);
    LineView view(ChooseOutputMode(settings.json, settings.quiet), stdout, stderr);
    line::Line line(settings, view);
    if (!line.FilesLists().Problem().empty()) {
        return LineUsageError(settings, line.FilesLists().Problem());
    }
    if (!line.FilesLists().Note().empty()) {
        std::fprintf(stderr, "vantor-cli: %s\n", line.FilesLists().Note().c_str());
    }
    platform::InstallCountingHandlers();
    line.Run();
    platform::RemoveCountingHandlers();
    records::JsonObject fields = LineReportFields(settings, line, given);
    const int status = KeepLineReport(settings, line, given, fields);
    view.Finish(line.Stations(), status, fields);
    return status;
}

}  // namespace vantor::cli
