// The history's part in a run of vantor-cli: every run that has ended appends its record to the
// history chosen (--history, VANTOR_HISTORY or the station's file), unless --no-history. A
// history that cannot be written never changes the run's result or exit status: the run says
// so in one line on stderr and in a "history" event.
#pragma once

#include <string>
#include <vector>

#include "cli/console/console_output.h"
#include "platform/program_options.h"
#include "records/run_record.h"

namespace vantor::cli {

// `place` is --history's value (empty when not given).
void RecordInHistory(const std::string& place, bool no_history, const records::RunSummary& summary,
                     ConsoleOutput& output);

// vantor-cli history [list|stats|prune|sync] [options].
int RunHistory(const std::vector<std::string>& arguments);
// The options of the history command, for its help, completions and manual page.
platform::OptionTable HistoryOptions();

}  // namespace vantor::cli
