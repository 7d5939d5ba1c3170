// The window's part in the history of runs: each job of the window appends its record to the
// history, as each run of vantor-cli does.
#pragma once

#include <chrono>
#include <string>

#include "job/job.h"

namespace vantor::records {

// The job that has just ended on `host` (started at `started`, on the port named `port_name`)
// appended to the history `place` (WindowJobHistory, read when the job started), with the
// fields its record has. Quiet: the window has no place for it, and a history that cannot be
// written must not disturb the operator's next job; it says so on stderr.
void RecordWindowJob(const JobHost& host, JobOutcome outcome,
                     std::chrono::system_clock::time_point started, const std::string& port_name,
                     const std::string& place);
// The history a job of the window started now goes to: VANTOR_HISTORY or the station's file.
std::string WindowJobHistory();

}  // namespace vantor::records
