// Ctrl-C and the console's other control events on Windows. The system calls the handler on a
// thread of its own: Ctrl-C and Ctrl-Break count as SIGINT, a console that is closed, a logoff
// and a shutdown as SIGTERM, so that the exit statuses are those of the POSIX build (130, 143).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "platform/interruptions.h"

namespace vantor::platform {

namespace {

// The system ends the process a few seconds after a close, logoff or shutdown event whatever
// the handler does; the program gets this long of them to close the port and write its records.
constexpr auto kWindDownTime = std::chrono::milliseconds(4000);

std::atomic<void (*)(int)> g_react{nullptr};

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

BOOL WINAPI OnControlEvent(DWORD event) {
    const int signal_number = SignalFor(event);
    void (*react)(int) = g_react.load();
    if (signal_number == 0 || react == nullptr) {
        return FALSE;
    }
    react(signal_number);
    if (signal_number == SIGTERM) {
        // Returning from these events ends the process at once: the handler holds on while the
        // program winds down and the process ends by itself, which ends this thread too.
        std::this_thread::sleep_for(kWindDownTime);
    }
    return TRUE;
}

}  // namespace

// A console's waits are not cut short by its control events, so `calls` changes nothing here.
void CatchInterruptions(void (*react)(int signal_number), InterruptedCalls /*calls*/) {
    // The handler is added once: the system would call it once per time it was added.
    if (g_react.exchange(react) == nullptr) {
        ::SetConsoleCtrlHandler(OnControlEvent, TRUE);
    }
}

void ReleaseInterruptions() {
    if (g_react.exchange(nullptr) != nullptr) {
        ::SetConsoleCtrlHandler(OnControlEvent, FALSE);
    }
}

}  // namespace vantor::platform
