// SIGINT and SIGTERM: the one place that installs what a program does when it is asked to stop.
// On Windows the console's control events stand for them (Ctrl-C and Ctrl-Break for SIGINT;
// closing the console, a logoff and a shutdown for SIGTERM), so that every system reports the
// same signal numbers. One source file per system (interruptions_posix.cpp,
// win/interruptions_win.cpp).
#pragma once

namespace vantor::platform {

// What becomes of a blocking system call that an interruption comes into.
enum class InterruptedCalls {
    kResume,    // it goes on, and the program looks at what the reaction did later
    kCutShort,  // it returns early (EINTR), so that a wait ends at once
};

// From now on SIGINT and SIGTERM call `react` with their signal number, in a signal handler (on
// Windows on a thread of the system's), so `react` may only touch lock-free atomics or end the
// process. Replaces the reaction installed before.
void CatchInterruptions(void (*react)(int signal_number), InterruptedCalls calls);
// Gives both signals back their default handling.
void ReleaseInterruptions();

}  // namespace vantor::platform
