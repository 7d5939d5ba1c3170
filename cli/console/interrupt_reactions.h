// What an interruption does, the same on every system: each system's handler (interrupt_posix.cpp,
// win/interrupt_win.cpp) calls one of these with the signal's number, and nothing else should.
// Both are safe in a signal handler.
#pragma once

#include <atomic>

namespace vantor::cli {

// A run's interruption: the first sets the stop flag given to SetStopFlag; a second ends the
// process at once with 128 + its number, the operator having asked twice.
void ReactToStopSignal(int signal_number);
// A production line's: counted, the first one's number kept.
void ReactToCountedSignal(int signal_number);
// The flag ReactToStopSignal sets; nullptr for none.
void SetStopFlag(std::atomic<int>* stop);

}  // namespace vantor::cli
