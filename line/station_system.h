// What a station's child process is on each system: the program started (this one again), what
// its environment and signals are told, and how an interruption of the line reaches it. One
// source file per system (station_process_posix.cpp, win/station_process_win.cpp).
#pragma once

#include "platform/process.h"
#include "platform/result.h"

namespace vantor::line {

// Fills in what `options` need on this system to start a station; fails with the reason when it
// cannot.
Result<void> PrepareStationChild(platform::ChildOptions& options);

// The signal a station is sent for the line's interruption `signal_number`.
int StationSignal(int signal_number);

}  // namespace vantor::line
