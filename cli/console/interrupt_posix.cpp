#include <csignal>

#include "cli/console/interrupt.h"
#include "cli/console/interrupt_reactions.h"

namespace vantor::cli {

namespace {

void Handle(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void InstallStopHandlers(std::atomic<int>* stop) {
    SetStopFlag(stop);
    // The serial line's system calls go on after the handler; the job looks at the flag between
    // its operations.
    Handle(SIGINT, ReactToStopSignal, SA_RESTART);
    Handle(SIGTERM, ReactToStopSignal, SA_RESTART);
}

void RemoveStopHandlers() {
    Handle(SIGINT, SIG_DFL, SA_RESTART);
    Handle(SIGTERM, SIG_DFL, SA_RESTART);
    SetStopFlag(nullptr);
}

void InstallCountingHandlers() {
    // No SA_RESTART: the line's wait returns at once and passes the signal on.
    Handle(SIGINT, ReactToCountedSignal, 0);
    Handle(SIGTERM, ReactToCountedSignal, 0);
}

void RemoveCountingHandlers() {
    Handle(SIGINT, SIG_DFL, 0);
    Handle(SIGTERM, SIG_DFL, 0);
}

}  // namespace vantor::cli
