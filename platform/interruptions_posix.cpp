#include <csignal>

#include "platform/interruptions.h"

namespace vantor::platform {

namespace {

void Handle(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void CatchInterruptions(void (*react)(int signal_number), InterruptedCalls calls) {
    const int flags = calls == InterruptedCalls::kResume ? SA_RESTART : 0;
    Handle(SIGINT, react, flags);
    Handle(SIGTERM, react, flags);
}

void ReleaseInterruptions() {
    Handle(SIGINT, SIG_DFL, 0);
    Handle(SIGTERM, SIG_DFL, 0);
}

}  // namespace vantor::platform
