// Ctrl-C and SIGTERM. During a run the first asks the job to stop between operations, so that
// the port is closed and the traffic log and the run record are written; a second one abandons
// the line, so that the operation under way ends at once and the same is done promptly; a
// third ends the process at once. A production line counts them instead and passes each on to its
// stations. The handlers themselves are installed through platform/interruptions.h.
#pragma once

#include <atomic>

namespace vantor::platform {

// From now on SIGINT and SIGTERM set `stop` (which must outlive the handlers) to 1.
void InstallStopHandlers(std::atomic<int>* stop);
// Gives both signals back their default handling.
void RemoveStopHandlers();
// The signal that asked the run to stop; 0 when none came.
int StopSignal();
// True once a second signal has come: every wait for the drive is to end at once.
bool LineAbandoned();

// For a production line: from now on SIGINT and SIGTERM are counted and end nothing, and a wait
// of the line that one of them interrupts returns at once.
void InstallCountingHandlers();
// Gives both signals back their default handling.
void RemoveCountingHandlers();
// How many were counted, and the first one's signal number (0 when none came).
int CountedInterruptions();
int FirstCountedSignal();

}  // namespace vantor::platform
