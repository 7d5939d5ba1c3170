// Ctrl-C and the console's other control events on Windows. The system calls the handler on a
// thread of its own: Ctrl-C and Ctrl-Break count as SIGINT, a console that is closed, a logoff
// and a shutdown as SIGTERM, so that the exit statuses are those of the POSIX build (130, 143).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "cli/console/interrupt.h"
#include "cli/console/interrupt_reactions.h"

namespace vantor::cli {

namespace {

// The system ends the process a few seconds after a close, logoff or shutdown event whatever
// the handler does; the run gets this long of them to close the port and write its records.
constexpr auto kWindDownTime = std::chrono::milliseconds(4000);

int SignalFor(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return SIGINT;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return SIGTERM;
        default:
            return 0;
    }
}

// Takes a control event as the signal it counts as, with `react`.
BOOL TakeEvent(DWORD event, void (*react)(int)) {
    const int signal_number = SignalFor(event);
    if (signal_number == 0) {
        return FALSE;
    }
    react(signal_number);
    if (signal_number == SIGTERM) {
        // Returning from these events ends the process at once: the handler holds on while the
        // run winds down and the process ends by itself, which ends this thread too.
        std::this_thread::sleep_for(kWindDownTime);
    }
    return TRUE;
}

BOOL WINAPI OnStopEvent(DWORD event) {
    return TakeEvent(event, ReactToStopSignal);
}

BOOL WINAPI OnCountedEvent(DWORD event) {
    return TakeEvent(event, ReactToCountedSignal);
}

}  // namespace

void InstallStopHandlers(std::atomic<int>* stop) {
    SetStopFlag(stop);
    ::SetConsoleCtrlHandler(OnStopEvent, TRUE);
}

void RemoveStopHandlers() {
    ::SetConsoleCtrlHandler(OnStopEvent, FALSE);
    SetStopFlag(nullptr);
}

void InstallCountingHandlers() {
    ::SetConsoleCtrlHandler(OnCountedEvent, TRUE);
}

void RemoveCountingHandlers() {
    ::SetConsoleCtrlHandler(OnCountedEvent, FALSE);
}

}  // namespace vantor::cli
