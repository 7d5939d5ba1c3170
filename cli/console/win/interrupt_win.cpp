// Ctrl-C and the console's other control events on Windows. The system calls the handler on a
// thread of its own: Ctrl-C and Ctrl-Break count as SIGINT, a console that is closed, a logoff
// and a shutdown as SIGTERM, so that the exit statuses are those of the POSIX build (130, 143).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "cli/console/interrupt.h"

namespace vantor::cli {

namespace {

std::atomic<int> g_signal{0};
std::atomic<std::atomic<int>*> g_stop{nullptr};
std::atomic<int> g_first_counted{0};
std::atomic<int> g_counted{0};

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

BOOL WINAPI OnControlEvent(DWORD event) {
    const int signal_number = SignalFor(event);
    if (signal_number == 0) {
        return FALSE;
    }
    if (g_signal.exchange(signal_number) != 0) {
        // The operator asked twice: no more waiting for the job.
        std::_Exit(128 + signal_number);
    }
    if (std::atomic<int>* stop = g_stop.load(); stop != nullptr) {
        stop->store(1);
    }
    if (signal_number == SIGTERM) {
        // Returning from these events ends the process at once: the handler holds on while the
        // run winds down and the process ends by itself, which ends this thread too.
        std::this_thread::sleep_for(kWindDownTime);
    }
    return TRUE;
}

BOOL WINAPI OnCountedEvent(DWORD event) {
    const int signal_number = SignalFor(event);
    if (signal_number == 0) {
        return FALSE;
    }
    int none = 0;
    g_first_counted.compare_exchange_strong(none, signal_number);
    g_counted.fetch_add(1);
    if (signal_number == SIGTERM) {
        std::this_thread::sleep_for(kWindDownTime);
    }
    return TRUE;
}

}  // namespace

void InstallStopHandlers(std::atomic<int>* stop) {
    g_stop.store(stop);
    ::SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void RemoveStopHandlers() {
    ::SetConsoleCtrlHandler(OnControlEvent, FALSE);
    g_stop.store(nullptr);
}

int StopSignal() {
    return g_signal.load();
}

void InstallCountingHandlers() {
    ::SetConsoleCtrlHandler(OnCountedEvent, TRUE);
}

void RemoveCountingHandlers() {
    ::SetConsoleCtrlHandler(OnCountedEvent, FALSE);
}

int CountedInterruptions() {
    return g_counted.load();
}

int FirstCountedSignal() {
    return g_first_counted.load();
}

}  // namespace vantor::cli
