// The history's part in a run of vantor-cli: every run that has ended appends its record to the
// history chosen (--history, VANTOR_HISTORY or the station's file), unless --no-history. A
// history that cannot be written never changes the run's result or exit status: the run says
// so in one line on stderr and in a "history" event.
#pragma once

#include <string>
#include <vector>

#include "cli/console/console_output.h"
#include "cli/record/run_record.h"
#include "platform/program_options.h"

namespace vantor::cli {

// `place` is --history's value (empty when not given).
void RecordInHistory(const std::string& place, bool no_history, const RunSummary& summary,
                     ConsoleOutput& output);

// The window's part: the job that has just ended on `host` (started at `started`, on the port
// named `port_name`) appended to the history `place` (WindowJobHistory, read when the job
// started), with the fields its record has. Quiet: the window has no place for it, and a
// history that cannot be written must not disturb the operator's next job; it says so on stderr.
void RecordWindowJob(const JobHost& host, JobOutcome outcome,
                     std::chrono::system_clock::time_point started, const std::string& port_name,
                     const std::string& place);
// The history a job of the window started now goes to: VANTOR_HISTORY or the station's file.
std::string WindowJobHistory();

// vantor-cli history [list|stats|prune|sync] [options].
int RunHistory(const std::vector<std::string>& arguments);
// The options of the history command, for its help, completions and manual page.
platform::OptionTable HistoryOptions();

}  // namespace vantor::cli
