// How a child started through platform/process.h hears its parent's Ctrl-C on Windows. A child
// runs on a hidden console of its own, so that the parent's console reaches only the parent, and
// a console control event cannot be sent into another console; instead the parent releases a
// semaphore named in the child's environment, and the child raises a Ctrl-C on its own console
// for each release, which its console handler takes as it takes one typed at the keyboard.
#pragma once

namespace vantor::platform {

// The variable that names the semaphore.
inline constexpr const char* kInterruptChannelVariable = "VANTOR_INTERRUPT_CHANNEL";

// In a child, first thing: takes the variable out of the environment and, when it names a
// semaphore, watches it for the rest of the process. Nothing in a program that no parent here
// started.
void ListenToParentInterruptions();

}  // namespace vantor::platform
