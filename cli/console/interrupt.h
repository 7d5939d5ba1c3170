// Ctrl-C and SIGTERM during a run: the first asks the job to stop between operations, so that
// the port is closed and the traffic log and the run record are written; a second one ends
// the process at once.
#pragma once

#include <atomic>

namespace vantor::cli {

// From now on SIGINT and SIGTERM set `stop` (which must outlive the handlers) to 1.
void InstallStopHandlers(std::atomic<int>* stop);
// Gives both signals back their default handling.
void RemoveStopHandlers();
// The signal that asked the run to stop; 0 when none came.
int StopSignal();

}  // namespace vantor::cli
